#pragma once
// Stops that race the host's next call: a dwell asked for before the stop's tick, a second stop
// later while a move streams, and a probe whose start delay ends between a stop's request and
// the next motion tick. And stops the board takes while its replies are lost.
#include "sim/chaos/rng.h"
#include "sim/chaos/world.h"

namespace vaskel::chaos {

// Drawn after every other draw of a world, so that the worlds drawn before stay as they were.
void DrawStopRaces(Rng& rng, World& w);
// Replies lost while a move streams, two stops with no reply between them, and a write stalled
// past the plug-in's patience before the replies come back: the resynchronisation can only
// bound the counts the board ran on to. Drawn last as well.
void DrawMuteAcrossStops(Rng& rng, World& w);
// A stop, then a probe, while the board is unplugged for longer than the probe's start delay:
// the stop's command cannot go out before the probe's second is over. Drawn last as well.
void DrawProbeBehindHeldStop(Rng& rng, World& w);
// The host's thread preempted for a few milliseconds just after it commits a packet, as a
// busy system does. Drawn last as well.
void DrawHostPreemption(Rng& rng, World& w);
// A drop while the receiver holds a reply it has read and not yet handled, the link running.
// Drawn last as well.
void DrawDropAtRunningRead(Rng& rng, World& w);

}  // namespace vaskel::chaos
