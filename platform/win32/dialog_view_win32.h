#pragma once
// The settings dialog as a real modeless dialog from template 4015 in the plug-in's resources.
#include <memory>

#include "platform/dialog_view.h"

namespace vaskel {

std::unique_ptr<DialogView> NewWin32DialogView();

}  // namespace vaskel
