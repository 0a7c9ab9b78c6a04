#pragma once
// The books of where the tool is. The machine has mechanical play on the axes whose backlash
// the plug-in compensates (an axis of 3..5 where one board channel both carries and shows it); the
// board simulator moves each tool only once its motor presses on it. The host's position (the DRO)
// must show the tool, not the motor: it may differ from the tool by a constant per axis, fixed
// where the frame is set (the start, a home), and that constant holds wherever the board stands
// still and the plug-in has seen its counts. The DRO must not jump when a link aligns, a take-up
// puts exactly its amount on the board, and a jog moves the way the host asked.
#include <array>
#include <cstdint>
#include <string>

#include "motion/segment_ring.h"
#include "plugin/plugin_context.h"
#include "sim/board/board_simulator.h"
#include "sim/chaos/chaos_host.h"
#include "sim/chaos/intent_books.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {

class ToolBooks {
 public:
  ToolBooks(const World& world, PluginContext& ctx, ChaosHost& host, sim::BoardSimulator& board,
            const IntentBooks& books)
      : world_(world), ctx_(ctx), host_(host), board_(board), books_(books) {}

  // After the host's start: the play of each compensated axis goes onto the board.
  void Start();
  void BeforeStep();
  void AfterStep();
  // After a host call: a jog the plug-in took is expected to move the way it was asked.
  void AfterAct(const Action& action);
  // Every segment that left the board's queue, in order.
  void OnSegment(const sim::ExecutedSegment& s);
  // The frame can no longer be judged from here on: the position is re-anchored at the next
  // point where the tool can be told.
  void Unjudge();
  // A lying fill tells the plug-in the board is further on, or less far, than it is: which
  // take-ups it has made, too. No reply is judged while it lies.
  void NoteFillLie(bool on) {
    fill_lie_ = on;
    lie_ended_ms_ = ctx_.platform().clock().TickCountMs();
    Unjudge();
  }
  // The receiver reads another report within its step: the reply it handled last is judged
  // on its own.
  void OnReportRead();
  // Once settled at the end.
  void CheckFinal();

  bool failed() const { return !failure_.empty(); }
  const std::string& failure() const { return failure_; }
  const std::string& invariant() const { return invariant_; }
  // Steps by channel that take-ups put on the board.
  const std::array<int64_t, 6>& take_up_steps() const { return take_up_steps_; }
  // The seed re-anchored the frame after the host switched compensation off, or left an axis
  // unjudged whose channel a slave's take-ups move.
  bool excused_compensation_off() const { return compensation_off_; }
  // The seed re-anchored the frame after the plug-in said it lost the position, or a lying
  // fill or a reset the counts cannot show left the take-ups unjudged.
  bool excused_position_lost() const { return position_lost_; }
  // A rest with a tool inside its play (an abort cut its take-up), or a reply from inside a
  // take-up just after a stop or a lying fill, or on an axis that steps outside a take-up
  // moved into its play: not judged there.
  bool excused_in_play() const { return unjudged_in_play_; }
  bool excused_play_unknown() const { return play_unknown_; }
  int32_t Play(size_t axis) const;  // the width of an axis's play: its amount's magnitude
  // A home sets an axis's frame where the plug-in referenced it.
  void NoteHomeFrames();
  // An alignment met open take-up records: the DRO's jump there is not judged.
  bool excused_retired_at_alignment() const { return retired_at_alignment_; }

 private:
  void Fail(const char* invariant, const std::string& text);
  // `stops`: the stop commands the board had taken as the take-up ended.
  void CloseTakeUp(uint64_t stops);
  void NoteTakeUpTravel();
  // The board stands still, the link runs and the plug-in has the board's counts.
  void CheckAtRest(bool last);
  void NoteCuts();
  void CheckReply();
  std::array<int32_t, 6> HostTool(const sim::MechanicalPlay& tool) const;
  // The board channel that carries `axis`'s steps and whose count the plug-in shows as the
  // axis's, or -1 where none does both (see Start).
  int Channel(size_t axis) const { return channel_[axis]; }
  bool Reversed(size_t axis) const;
  // The tool presses where the plug-in believes it does.
  bool PressesAsBelieved(int axis, const sim::MechanicalPlay& tool);
  int32_t Dro(int axis) const;

  const World& world_;
  PluginContext& ctx_;
  ChaosHost& host_;
  sim::BoardSimulator& board_;
  const IntentBooks& books_;
  std::string invariant_, failure_;

  std::array<int, 6> channel_{-1, -1, -1, -1, -1, -1};  // by axis
  std::array<bool, 6> played_{};                        // the axis's tool has play
  std::array<bool, 6> shared_{};    // a slave's take-ups move the axis's channel: not judged
  std::array<int32_t, 6> frame_{};  // DRO minus tool
  std::array<bool, 6> anchored_{};
  bool compensation_ = false;
  bool compensation_off_ = false;
  bool position_lost_ = false;
  uint32_t lost_seen_ = 0;

  // Before the step.
  bool running_before_ = false;
  std::array<int32_t, 6> dro_before_{};
  std::array<int32_t, 6> offset_before_{};
  std::array<int32_t, 6> count_before_{};  // the plug-in's last counts of the board
  std::array<int32_t, 6> offset_seen_{};
  bool homing_before_ = false;
  std::array<int32_t, 6> dro_reply_before_{};  // before the step, or since its last reply
  uint16_t sequence_seen_ = 0;
  uint32_t cuts_seen_ = 0;
  bool fill_lie_ = false;
  bool unjudged_in_play_ = false;
  uint32_t lie_ended_ms_ = 0;    // a record retired on the lie moves the DRO a while after
  uint32_t cut_at_ms_ = 0;       // when the plug-in last queued a stop, or the board then took one
  uint64_t stops_at_cut_ = 0;    // stops the board had taken as the plug-in queued its last one
  bool cut_on_way_ = false;      // the board has taken no stop since
  bool records_before_ = false;  // the take-up record queue held records
  bool retired_at_alignment_ = false;  // the home was releasing its switch
  uint16_t jog_ramps_before_ = 0;
  int32_t jog_producer_before_ = 0;

  // The board at rest: since when, and the status replies the plug-in took by then.
  uint32_t rest_since_ms_ = 0;
  uint32_t replies_at_rest_ = 0;
  uint32_t statuses_taken_ = 0;  // status replies the plug-in took, by their sequence
  std::array<int32_t, 6> rest_counts_{};
  bool rest_checked_ = false;
  uint32_t last_look_ms_ = ~0u;

  // The take-up running on the board: its steps by channel, and whether a stop or a lost
  // queue cut it.
  std::array<int64_t, 6> take_up_run_{};
  bool take_up_cut_ = false;
  bool take_up_open_ = false;      // a take-up has run steps and no other moving segment since
  uint64_t stops_at_take_up_ = 0;  // stop commands the board had taken as it began
  std::array<int64_t, 6> take_up_steps_{};
  // The last steps on the axis's channel were a take-up's. Steps of the host's or a jog's
  // going into the play (after a cut or refused take-up, or with directions compensation left
  // behind) move the DRO with the motor until the tool is met, by design.
  std::array<bool, 6> taken_up_last_{};  // by channel
  // A jog the host asked for and the plug-in took: its direction (0 positive) and the first
  // slot of the jog ring it fills; -1: none.
  std::array<int, 3> jog_direction_{-1, -1, -1};
  std::array<int32_t, 3> jog_from_slot_{};
  // The program's own travel: every step the board ran but the take-ups'. With every play
  // taken up by a take-up of its own, the tool travels exactly that far. A take-up the board
  // lost after some of its steps is made whole again once its entry goes out again, and the
  // tool then travels those steps too.
  std::array<int64_t, 6> program_steps_{};  // by axis
  std::array<int32_t, 6> tool_start_{};
  bool travel_unjudged_ = false;
  bool play_unknown_ = false;
};

}  // namespace vaskel::chaos
