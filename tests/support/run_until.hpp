#pragma once

#include <chrono>
#include <functional>

#include "base/async/core_runtime.hpp"

namespace nimbra::testing {

// Drives the runtime's core loop on the calling thread until `done` holds or `timeout` passes.
// Returns whether `done` held.
bool runUntil(CoreRuntime& runtime, const std::function<bool()>& done,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Drives the core loop for a while, for checks that something does NOT happen.
void runFor(CoreRuntime& runtime, std::chrono::milliseconds duration);

}  // namespace nimbra::testing
