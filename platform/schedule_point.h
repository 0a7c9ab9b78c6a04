#pragma once
// Places inside a host call where the host's thread holds no lock and a worker could run in a
// real process. The deterministic simulator runs worker steps there; a build without
// VASKEL_SCHEDULE_POINTS (the shipped library) compiles them away.
#include "platform/worker.h"

#if defined(VASKEL_SCHEDULE_POINTS) && VASKEL_SCHEDULE_POINTS
#define VASKEL_SCHEDULE_POINT(workers, where) (workers).SchedulePoint(where)
#else
#define VASKEL_SCHEDULE_POINT(workers, where) ((void)0)
#endif
