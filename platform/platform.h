#pragma once
// Everything the portable core needs from the operating system, behind small interfaces.
// One implementation per platform (platform/posix, platform/win32); tests assemble their own
// from fakes.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/diagnostic_log.h"
#include "platform/hid.h"
#include "platform/timer.h"
#include "platform/worker.h"

namespace vaskel {

class ProfileDocument;
class DialogView;

class Platform {
 public:
  virtual ~Platform() = default;
  virtual Clock& clock() = 0;
  virtual TimerService& timers() = 0;
  virtual HidBus& hid() = 0;
  virtual Workers& workers() = 0;
  // A new, empty XML document for the host profile; null when none can be created.
  virtual std::unique_ptr<ProfileDocument> NewProfileDocument() = 0;
  // The view of the settings dialog; null where nothing is drawn.
  virtual std::unique_ptr<DialogView> NewDialogView() = 0;
  // The operating system's message text for an error code; empty when it has none.
  virtual std::string SystemErrorText(uint32_t code) = 0;
  // The plug-in library's file name without directory and extension.
  virtual std::string ModuleBaseName() = 0;
  // The library's full file name, for the diagnostic log's header.
  virtual std::string ModulePath() { return ModuleBaseName(); }
  // Where the board comes from, in a few words ("USB HID bus", "emulator at HOST:PORT"), and
  // whether that is the USB bus a machine runs on.
  virtual std::string BoardSource() { return "USB HID bus"; }
  virtual bool BoardIsUsb() { return true; }
  // A line for integrators on the diagnostic output (stderr, the debugger's output), which
  // shows without a log; nowhere on a platform of fakes.
  virtual void Diagnostic(std::string_view line) {}
  // The diagnostic log (VASKEL_LOG); off unless the platform opened one.
  virtual DiagnosticLog& log() {
    static DiagnosticLog off;
    return off;
  }
};

// The platform of the loaded library (one per process), made on first use.
Platform& DefaultPlatform();

}  // namespace vaskel
