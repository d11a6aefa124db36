#include "support/run_until.hpp"

namespace nimbra::testing {

bool runUntil(CoreRuntime& runtime, const std::function<bool()>& done,
              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        runtime.context().run_one_for(std::chrono::milliseconds(5));
    }
    return true;
}

void runFor(CoreRuntime& runtime, std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        runtime.context().run_one_for(std::chrono::milliseconds(5));
    }
}

}  // namespace nimbra::testing
