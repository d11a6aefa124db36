// Refreshing the exit display: one probe at a time, through the tunnel when it is up, else
// directly; a result that arrives after a new connect has begun is dropped.

#include "base/async/await_blocking.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

std::string refreshDetail(const TraceProbe& probe, bool viaTunnel, AppLanguage language) {
    if (probe.fetched) {
        if (!viaTunnel) return L10n::systemExit(probe.loc, probe.colo, probe.warp, language);
        if (!probe.warp.empty() && text::toLowerAscii(probe.warp) != "on") {
            return L10n::tunnelAnomaly(probe.loc, probe.colo, probe.warp, language);
        }
        return L10n::connectedVia(probe.loc, probe.colo, probe.warp, language);
    }
    if (viaTunnel) return L10n::connectedButExitProbeFailed(language);
    return L10n::exitProbeFailed(probe.error.value_or(L10n::networkError(language)), language);
}

}  // namespace

bool WarpController::connectUnderWay() const {
    return connecting_ || state_.phase == WarpPhase::preparing ||
           state_.phase == WarpPhase::startingEngine;
}

void WarpController::refreshExit() {
    if (state_.exitProbing || connectUnderWay()) return;
    update([](ControllerSnapshot& s) { s.exitProbing = true; });

    const bool realTun = state_.connectionMode == ConnectionMode::realTun;
    const bool tunnelUp = realTun ? tunStarted_ : engine_->isRunning();
    const bool viaTunnel = isConnected() && tunnelUp;
    const bool throughSocks = viaTunnel && !realTun;  // real TUN carries the direct probe itself
    spawnTask(runtime_.executor(), runExitRefresh(viaTunnel, throughSocks));
}

asio::awaitable<void> WarpController::runExitRefresh(bool viaTunnel, bool throughSocks) {
    auto probeExit = [diagnostics = diagnostics_, throughSocks, port = socksPort_] {
        return throughSocks ? diagnostics->exitViaSocks(port) : diagnostics->exitDirect();
    };
    const TraceProbe probe = co_await awaitBlocking(runtime_.blockingPool(), probeExit);
    if (connectUnderWay()) {
        update([](ControllerSnapshot& s) { s.exitProbing = false; });
        co_return;
    }
    applyProbe(probe, viaTunnel);
    const std::string detail = refreshDetail(probe, viaTunnel, language());
    update([&](ControllerSnapshot& s) {
        s.detail = detail;
        s.exitProbing = false;
    });
}

}  // namespace nimbra
