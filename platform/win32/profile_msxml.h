#pragma once
// The host profile document on the platform's XML DOM component.
#include <memory>

#include "platform/profile_document.h"

namespace vaskel {

// Null when the component cannot be created.
std::unique_ptr<ProfileDocument> NewMsxmlProfileDocument();

}  // namespace vaskel
