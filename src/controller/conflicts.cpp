// Conflicting VPN software: scanned on the pool, applied on the core thread.

#include "base/async/await_blocking.hpp"
#include "controller/warp_controller.hpp"

namespace nimbra {

void WarpController::refreshConflicts() {
    if (quitting_) return;
    tasks_.spawn(runConflictScan());
}

asio::awaitable<void> WarpController::runConflictScan() {
    auto scan = [diagnostics = services_.diagnostics] { return diagnostics->scanConflicts(); };
    const ConflictReport report = co_await awaitBlocking(runtime_.blockingPool(), scan);
    state_.applyConflictReport(report);
}

}  // namespace nimbra
