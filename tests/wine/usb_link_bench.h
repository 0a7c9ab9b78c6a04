#pragma once

namespace wine_tests {

// The link's figures on the Windows HID path against a guest's USB board: reports per second
// while streaming, and the time from an E-stop to the StopMotion report at the board. Prints
// them; a figure, not a test. Non-zero when there was no board to measure.
int RunUsbLinkBench();

}  // namespace wine_tests
