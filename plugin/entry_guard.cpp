#include "plugin/entry_guard.h"

namespace vaskel {

void RecoverFromFailedEntry(PluginContext& ctx, EntryKind kind) noexcept {
  if (kind == EntryKind::Motion && ctx.initialised()) {
    try {
      ctx.motion().AbortAndHalt();
    } catch (...) {
    }
  }
  // Before InitControl there is no status line to write to.
  if (!ctx.host().planner.valid()) return;
  try {
    ctx.messages().SetStatusText(kEntryFailedText);
  } catch (...) {
  }
}

}  // namespace vaskel
