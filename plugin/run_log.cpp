#include "plugin/run_log.h"

#include <cstdio>

#include "device/link.h"
#include "platform/wall_time.h"
#include "plugin/plugin_context.h"
#include "plugin/profile_settings.h"

#ifndef VASKEL_VERSION
#define VASKEL_VERSION "dev"
#endif

namespace vaskel::run_log {
namespace {

std::string Hex4(uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

}  // namespace

void WriteHeader(PluginContext& ctx) {
  Platform& platform = ctx.platform();
  DiagnosticLog& log = platform.log();
  ctx.messages().set_keep_shown(log.enabled());
  const Settings& settings = ctx.settings();
  // Said whether or not a log is kept: without one, the debugger's output is all there is.
  for (const SettingReading* r : {&settings.device_buffer_read, &settings.jog_buffer_read}) {
    if (!r->problem.empty())
      platform.Diagnostic("vaskel: " + std::string(r->key) + " " + r->problem);
  }
  if (!log.enabled()) return;

  const int64_t now = platform.clock().WallMillis();
  log.Write("==== vaskel plug-in " VASKEL_VERSION " (" + platform.ModuleBaseName() +
            PluginContext::kDisplaySuffix + "), run started " + FormatWallTime(now) + " UTC" +
            FormatUtcOffset(now));
  log.Write("library  " + platform.ModulePath());
  log.Write("profile  " + settings.profile_file_name + " (" + settings.profile_state + ")");
  const SettingReading& device = settings.device_buffer_read;
  const int32_t limit = device.used / profile_settings::kSegmentPeriodMs;
  log.Write("setting  " + DescribeSetting(device) + "; device-buffer limit " +
            std::to_string(limit) + " segments");
  log.Write("setting  " + DescribeSetting(settings.jog_buffer_read));
  std::string board = "board    " + platform.BoardSource();
  if (platform.BoardIsUsb()) {
    board += ", looking for vendor " + Hex4(DeviceLink::kVendor) + " product " +
             Hex4(DeviceLink::kProduct) + " release " + Hex4(DeviceLink::kRelease);
  } else {
    board += " - not a USB board: the machine does not move";
  }
  log.Write(board);
  log.Write(
      "times    local wall clock, then [the system tick count in ms] as the packet dumps give "
      "it");
}

void WriteShownMessages(PluginContext& ctx) {
  DiagnosticLog& log = ctx.platform().log();
  if (!log.enabled()) return;
  uint64_t left_out = 0;
  for (const Messages::Shown& shown : ctx.messages().TakeShown(&left_out)) {
    std::string line =
        LogStamp(shown.wall_ms, shown.tick_ms) + " status line: \"" + shown.text + "\"";
    if (shown.repeats) line += " (and " + std::to_string(shown.repeats) + " times more)";
    log.Write(line);
  }
  if (left_out) {
    log.Write(LogStamp(ctx.platform().clock()) + " status line: " + std::to_string(left_out) +
              " more texts not kept");
  }
}

void WriteRunEnd(PluginContext& ctx) {
  DiagnosticLog& log = ctx.platform().log();
  if (!log.enabled()) return;
  log.Write(LogStamp(ctx.platform().clock()) +
            " StopPlug: settings written, link closed; run ended");
}

}  // namespace vaskel::run_log
