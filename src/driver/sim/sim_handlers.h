// The handlers the server installed in the simulated library, and running the
// one an event is for.
#pragma once
#include "driver/sim/sim_state.h"

// Runs the installed handler of event's kind with its arguments, on this thread.
// False when none is installed for it (or the kind is unknown).
bool SimRunHandler(const SimEvent& event);
