#pragma once
// Replies that find no pending entry. The dispatcher drops a reply whose request has no entry
// in the pending-reply table; that is right for a reply of an earlier connection (the table
// is cleared at each link start), for a copy or a late straggler, or after a relabelled reply
// took another request's entry. A reply the bus hands over untouched, to a request committed
// on this connection, must find its entry and take it, unless the table gave up entries to a
// flood of unanswered requests.
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/plugin_context.h"

namespace vaskel::chaos {

class ReplyBooks {
 public:
  explicit ReplyBooks(PluginContext& ctx) : ctx_(ctx) {}

  // After every step: notes the requests committed since, with their connection, and checks
  // that the last reply handed over was dispatched.
  void ScanCommits();
  // The bus relabelled a reply with this sequence number; when it names a pending request,
  // that entry and every older one go with it.
  void NoteRelabel(uint16_t sequence);
  // The bus hands over this reply as the board sent it.
  void OnUntouchedReply(const uint8_t* report, int size);

  bool failed() const { return !failure_.empty(); }
  const std::string& failure() const { return failure_; }
  // Replies let go unjudged: the table had evicted entries, or a relabelled reply had taken
  // a pending entry, on their connection.
  uint32_t excused() const { return excused_; }

 private:
  void CheckTaken();

  PluginContext& ctx_;
  int32_t awaiting_take_ = 0;  // the sequence of the reply handed over last, while judged
  std::vector<uint32_t> connection_of_ = std::vector<uint32_t>(65536, 0);  // link start + 1
  uint32_t starts_seen_ = 0;
  int32_t write_seen_ = 0;
  uint32_t evicted_at_start_ = 0;
  uint64_t relabels_ = 0;
  uint64_t relabels_at_start_ = 0;
  uint32_t excused_ = 0;
  std::string failure_;
};

}  // namespace vaskel::chaos
