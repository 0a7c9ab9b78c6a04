#pragma once
// The port engine over any pair of overlapped handles (a HID interface, a named pipe): one
// overlapped read and one overlapped write at a time, each with its own OVERLAPPED, buffer and
// manual-reset event.
#include <windows.h>

#include <memory>

#include "platform/hid.h"

namespace vaskel {

// Takes both handles (distinct, opened with FILE_FLAG_OVERLAPPED); null when the events cannot
// be made, the handles then closed.
std::unique_ptr<HidPort> MakeOverlappedPort(HANDLE read, HANDLE write);

}  // namespace vaskel
