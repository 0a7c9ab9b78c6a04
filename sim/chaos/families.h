#pragma once
// Families of worlds that reach a rare path often: a board that answers nothing for a long
// while, a stall about as long as the plug-in's patience, refused writes whose reconnection
// loses its measuring replies, and host calls at awkward moments (while a move streams or a
// take-up runs, just as a fault ends and the link resynchronises), moves that ask more of a
// segment than it can hold.
#include "sim/chaos/rng.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {

enum Family : int {
  kNoFamily,
  kMuteBoard,
  kLongStall,
  kLostMeasurement,
  kAwkwardCalls,
  kClippedMoves
};

// Draws the world's port and wire times and maybe a family, adding its faults and actions.
void DrawWireAndFamily(Rng& rng, World& w);

// Maybe a drop the powered board runs on through, just after a host move reverses an axis
// whose play the host compensates: the board may still hold the take-up when the start-up
// stop clears its queue, and the resynchronisation's rewind spans it.
void DrawTakeUpDrop(Rng& rng, World& w);

}  // namespace vaskel::chaos
