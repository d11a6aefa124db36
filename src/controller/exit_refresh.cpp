// Refreshing the exit display: one probe at a time, through the tunnel when it is up, else
// directly. A result belongs to the connection (or the idle time) that asked for it: one that
// arrives after a connect, cancel or disconnect is dropped, so a probe through a tunnel that is
// gone never calls a disconnected client connected.

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

void WarpController::refreshExit() {
    if (quitting_ || state().exitProbing || connectUnderWay()) return;
    state_.update([](ControllerSnapshot& s) { s.exitProbing = true; });

    // nimbrad's TUN carries a plain request; the engine's tunnel is reached through its port.
    const bool daemonTun = connection_.ledger.daemonTun;
    const bool tunnelUp = daemonTun || services_.engine->isRunning();
    const bool viaTunnel = state().isConnected() && tunnelUp;
    tasks_.spawn(runExitRefresh(connection_.generation, viaTunnel,
                                /*throughSocks=*/viaTunnel && !daemonTun));
}

asio::awaitable<void> WarpController::runExitRefresh(int64_t generation, bool viaTunnel,
                                                     bool throughSocks) {
    auto probeExit = [diagnostics = services_.diagnostics, throughSocks, port = socksPort_] {
        try {
            return throughSocks ? diagnostics->exitViaSocks(port) : diagnostics->exitDirect();
        } catch (const std::exception& error) {
            return TraceProbe::failed(error.what());
        }
    };
    const TraceProbe probe = co_await awaitInterruptible(runtime_.blockingPool(), probeExit);
    if (generation != connection_.generation) {
        state_.update([](ControllerSnapshot& s) { s.exitProbing = false; });
        co_return;
    }
    state_.applyProbe(probe, viaTunnel);
    const std::string detail = refreshDetail(probe, viaTunnel, language());
    state_.update([&](ControllerSnapshot& s) {
        s.detail = detail;
        s.exitProbing = false;
    });
}

}  // namespace nimbra
