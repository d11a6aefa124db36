#pragma once

#include "base/preference_store.hpp"
#include "model/timings.hpp"

namespace nimbra {

// A non-interactive check of the engine's start, adopt and stop policy on this machine: a start
// leaves a running tunnel, a start on a port already served by a healthy usque reuses it, and a
// stop leaves the port free. Reports on stderr with "[self-test] " lines and returns the exit
// code: 0 behaved, 1 the start failed, 2 it returned without a tunnel, 3 the port stayed held.
int runSocksLifecycleSelfTest(PreferenceStore& store, const Timings& timings = Timings::standard());

}  // namespace nimbra
