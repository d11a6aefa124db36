// Ending a connection: disconnect tears down what this connection started; cancelConnect
// abandons a running attempt and tears down everything. Both end in disconnected, whatever the
// teardown steps report.

#include "base/async/await_blocking.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {

void WarpController::disconnect() {
    update([lang = language()](ControllerSnapshot& s) {
        s.phase = WarpPhase::stopping;
        s.detail = L10n::disconnecting(lang);
    });
    // Read the flags now: the teardown acts on what this connection started.
    const Teardown plan{.stopDaemon = tunStarted_,
                        .stopRelay = relayStarted_,
                        .stopSocksCompat = socksCompatStarted_,
                        .restoreProxy = proxyApplied_};
    spawnTask(runtime_.executor(), tearDown(plan, /*cancelled=*/false));
}

void WarpController::cancelConnect() {
    const WarpPhase phase = state_.phase;
    if (!connecting_ && phase != WarpPhase::preparing && phase != WarpPhase::startingEngine) return;

    ++connectGeneration_;  // whatever the running attempt produces is stale from now on
    if (connectTask_) connectTask_->cancel();
    connectTask_.reset();
    update([lang = language()](ControllerSnapshot& s) {
        s.phase = WarpPhase::stopping;
        s.detail = L10n::cancelling(lang);
    });
    // The attempt may have got anywhere, so everything is torn down without looking at flags.
    const Teardown plan{
        .stopDaemon = true, .stopRelay = true, .stopSocksCompat = true, .restoreProxy = true};
    spawnTask(runtime_.executor(), tearDown(plan, /*cancelled=*/true));
}

asio::awaitable<void> WarpController::tearDown(Teardown plan, bool cancelled) {
    co_await awaitTeardown(runtime_.blockingPool(), [this, plan] { runTeardownSteps(plan); });
    resetAfterTeardown();
    const AppLanguage lang = language();
    update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::disconnected;
        s.detail = cancelled ? L10n::cancelled(lang) : L10n::disconnected(lang);
    });
    if (!cancelled) traffic_->reset();
}

// Runs on the blocking pool, strictly in this order. Each step swallows its own failure so the
// final state is always reached.
void WarpController::runTeardownSteps(const Teardown& plan) {
    // Telling the daemon to stop (plan.stopDaemon) joins with the daemon client.
    engine_->stop();
    if (plan.stopRelay) httpRelay_->stop();
    if (plan.stopSocksCompat) socksCompat_->stop();
    // Restoring the system proxy (plan.restoreProxy) joins with the system proxy control.
}

void WarpController::resetAfterTeardown() {
    proxyApplied_ = relayStarted_ = tunStarted_ = socksCompatStarted_ = false;
    http2TipKind_.reset();
    update([](ControllerSnapshot& s) {
        s.globalCoverageNote.clear();
        s.http2Tip.clear();
        s.exitViaTunnel = false;
    });
    clearTunStatus();
    connecting_ = false;
}

}  // namespace nimbra
