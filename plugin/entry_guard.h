#pragma once
// Nothing thrown inside the plug-in may reach the host's frames: there it would end the host
// process. Every entry point (and the tick, which runs inside the host's message loop) runs
// its body through GuardEntry, which catches everything, leaves the plug-in safe, shows one
// status-line text and gives the host the failure value of the entry point's signature.
#include <string_view>
#include <type_traits>

#include "plugin/plugin_context.h"

namespace vaskel {

inline constexpr std::string_view kEntryFailedText =
    "vaskel internal error, the last command was not carried out!";

enum class EntryKind {
  Plain,   // starts no motion
  Motion,  // may start or change motion: a failure halts the motion engine
};

// What a failed entry point leaves behind: the motion it may have begun is halted, and the
// user is told. Never throws.
void RecoverFromFailedEntry(PluginContext& ctx, EntryKind kind) noexcept;

// context() gives the plug-in's context; making it may fail too.
template <class Body, class R = std::invoke_result_t<Body, PluginContext&>>
R GuardEntry(PluginContext& (*context)(), EntryKind kind, R failure, Body&& body) noexcept {
  try {
    return body(context());
  } catch (...) {
  }
  try {
    RecoverFromFailedEntry(context(), kind);
  } catch (...) {
  }
  return failure;
}

template <class Body>
void GuardEntry(PluginContext& (*context)(), EntryKind kind, Body&& body) noexcept {
  try {
    body(context());
    return;
  } catch (...) {
  }
  try {
    RecoverFromFailedEntry(context(), kind);
  } catch (...) {
  }
}

}  // namespace vaskel
