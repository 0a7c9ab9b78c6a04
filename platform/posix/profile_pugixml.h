#pragma once
// The host profile document on pugixml.
#include <memory>

#include "platform/profile_document.h"

namespace vaskel {

std::unique_ptr<ProfileDocument> NewPugixmlProfileDocument();

}  // namespace vaskel
