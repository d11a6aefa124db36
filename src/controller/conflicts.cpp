// Conflicting VPN software: scanned on the pool, applied on the core thread.

#include "base/async/await_blocking.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {

void WarpController::refreshConflicts() {
    spawnTask(runtime_.executor(), runConflictScan());
}

asio::awaitable<void> WarpController::runConflictScan() {
    auto scan = [diagnostics = diagnostics_] { return diagnostics->scanConflicts(); };
    const ConflictReport report = co_await awaitBlocking(runtime_.blockingPool(), scan);
    applyConflictReport(report);
}

void WarpController::applyConflictReport(const ConflictReport& report) {
    lastConflictHints_ = report.hints;
    const std::string banner = L10n::conflictBanner(report.hints, language()).value_or("");
    update([&](ControllerSnapshot& s) {
        s.conflictBanner = banner;
        s.conflictBlocking = report.officialWarpConnected;
    });
}

}  // namespace nimbra
