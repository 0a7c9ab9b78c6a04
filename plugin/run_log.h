#pragma once
// What the plug-in itself tells the diagnostic log: a header at the start of each run (when,
// which library, which profile, the settings as read, where the board comes from) and every
// text the status line showed, with its time. Written on the host's thread only.
namespace vaskel {

class PluginContext;

namespace run_log {

// SetProName. A setting that gave way to its default is also said on the diagnostic output
// (stderr, the debugger's output), where it shows without a log.
void WriteHeader(PluginContext& ctx);
// Update and StopPlug: the status-line texts shown since the last call.
void WriteShownMessages(PluginContext& ctx);
// StopPlug, last.
void WriteRunEnd(PluginContext& ctx);

}  // namespace run_log
}  // namespace vaskel
