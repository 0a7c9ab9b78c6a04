#pragma once
// The host's status line as the link and the motion engine see it: the system's numbered
// messages, the operating system's text for an error code, and free text. The plug-in layer
// owns the message table and the host string behind it.
#include <cstdint>
#include <string_view>

namespace vaskel {

enum MessageId : int32_t {
  kMsgDuplicateDevice = 1,
  kMsgDeviceNotFound = 2,
  kMsgDevicePulledOut = 3,
  kMsgDeviceConnected = 4,
  kMsgSpeedJogInvalid = 5,
  kMsgStopPosJogIllegal = 6,
  kMsgMoveAtEStop = 7,
  kMsgEngineOffline = 8,
  kMsgQueueNotEmpty = 9,
  kMsgJogNotAllowed = 10,
  kMsgLimitActive = 11,
  kMsgLimitsReengaged = 12,
  kMsgProbeDisabled = 13,
  kMsgBacklashWorking = 14,
};

class StatusLine {
 public:
  // Stores the message number and shows it, as one step.
  virtual void Raise(int32_t index) = 0;
  // The two halves of Raise, for a message decided before it is shown (a duplicate device is
  // shown only at the end of a discovery pass that opened nothing).
  virtual void SetIndex(int32_t index) = 0;
  virtual void ShowMessage() = 0;
  virtual int32_t index() const = 0;
  // The operating system's text for an error code; the message number is not changed.
  virtual void ShowSystemError(uint32_t code) = 0;
  virtual void SetStatusText(std::string_view text) = 0;

 protected:
  ~StatusLine() = default;
};

}  // namespace vaskel
