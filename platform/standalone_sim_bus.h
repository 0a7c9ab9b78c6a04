#pragma once
// A board simulator of the plug-in's own on the given clock, for VASKEL_DEVICE=sim when no
// substitute host lends one. Declared here so the platform can offer it without reaching up
// into the simulator; the board simulator's library defines it.
#include <memory>

#include "platform/clock.h"
#include "platform/hid.h"

namespace vaskel::sim {

std::unique_ptr<HidBus> MakeStandaloneSimBus(Clock& clock);

}  // namespace vaskel::sim
