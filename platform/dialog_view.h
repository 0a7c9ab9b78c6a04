#pragma once
// The settings dialog's window (a real dialog on Windows, headless on Linux).
namespace vaskel {

class DialogView {
 public:
  virtual ~DialogView() = default;
};

}  // namespace vaskel
