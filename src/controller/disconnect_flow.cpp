// Ending a connection: disconnect stops what this connection started; cancelConnect abandons a
// running attempt and stops all its mode can start; quit does either within a time limit. All of
// them end whatever the single steps report.

#include "base/async/await_blocking.hpp"
#include "base/async/race.hpp"
#include "base/async/sleep.hpp"
#include "controller/connection_unwinder.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {

void WarpController::disconnect() {
    if (quitting_) return;
    // The connection ends here: an exit probe, status read or DNS switch still out comes back
    // to nobody. An attempt still running keeps its generation: only a cancel supersedes it.
    if (!connectUnderWay()) ++connection_.generation;
    health_->stop();
    if (switchGate_) switchGate_->cancel();
    stopWatching();
    state_.update([lang = language()](ControllerSnapshot& s) {
        s.phase = WarpPhase::stopping;
        s.detail = L10n::disconnecting(lang);
    });
    // The ledger as it is now: the teardown acts on what this connection started. The engine
    // always stops: an error can leave a usque that no ledger recorded.
    ConnectionLedger plan = connection_.ledger;
    plan.engine = true;
    tearDown(plan, /*cancelled=*/false);
}

void WarpController::cancelConnect() {
    if (quitting_ || !connectUnderWay()) return;
    ++connection_.generation;  // whatever the running attempt produces is stale from now on
    if (connection_.attemptTask) connection_.attemptTask->cancel();
    connection_.attemptTask.reset();
    health_->stop();
    stopWatching();
    state_.update([lang = language()](ControllerSnapshot& s) {
        s.phase = WarpPhase::stopping;
        s.detail = L10n::cancelling(lang);
    });
    // The attempt may have got anywhere in its mode, so all that mode starts is stopped without
    // looking at the ledger; its readiness wait ends at its next poll and its gate makes our
    // "stop" nimbrad's last word.
    if (connection_.daemonGate) connection_.daemonGate->cancel();
    tearDown(ConnectionLedger::forAttempt(connection_.attemptMode), /*cancelled=*/true,
             connection_.daemonGate);
}

void WarpController::tearDown(ConnectionLedger plan, bool cancelled,
                              std::shared_ptr<DaemonGate> gate) {
    ++connection_.teardowns;
    tasks_.spawn(runTeardown(plan, cancelled, std::move(gate)));
}

asio::awaitable<void> WarpController::runTeardown(ConnectionLedger plan, bool cancelled,
                                                  std::shared_ptr<DaemonGate> gate) {
    auto unwind = [unwinder = ConnectionUnwinder(services_, std::move(gate)), plan] {
        unwinder.unwind(plan);
    };
    co_await awaitTeardown(runtime_.lifecyclePool(), unwind);
    --connection_.teardowns;
    if (quitting_) co_return;
    resetAfterTeardown(cancelled);
    if (connection_.teardowns == 0 && std::exchange(connection_.connectWhenIdle, false)) {
        connect();
    }
}

void WarpController::resetAfterTeardown(bool cancelled) {
    connection_.ledger = {};
    state_.setHttp2Tip(std::nullopt);
    const AppLanguage lang = language();
    state_.update([&](ControllerSnapshot& s) {
        s.connecting = false;
        s.globalCoverageNote.clear();
        s.proxyWriteFailedNote.clear();
        s.healFailure.clear();
        s.phase = WarpPhase::disconnected;
        s.detail = cancelled ? L10n::cancelled(lang) : L10n::disconnected(lang);
        // The last exit stays on show, and so does how it was measured: an exit read through our
        // own tunnel must not pass for another WARP client's once the tunnel is down.
    });
    clearTunStatus();
    state_.clearRunning();
    if (!cancelled) traffic_->reset();
}

// ---- quitting --------------------------------------------------------------------------------

void WarpController::quit(std::function<void()> done) {
    if (quitDone_) {
        runtime_.post(std::move(done));
        return;
    }
    quitWaiters_.push_back(std::move(done));
    if (quitting_) return;  // called back with the quit already under way
    quitting_ = true;
    // An attempt may have got anywhere; an established connection started what its ledger says.
    // The engine always stops, which also ends a usque another run left on our SOCKS port; in
    // real TUN mode nimbrad is told to stop too, which also ends a TUN a crashed run left up.
    const bool attempt = connectUnderWay();
    ConnectionLedger plan =
        attempt ? ConnectionLedger::forAttempt(connection_.attemptMode) : connection_.ledger;
    plan.engine = true;
    if (state().connectionMode == ConnectionMode::realTun) plan.daemonTun = true;
    std::shared_ptr<DaemonGate> gate = attempt ? connection_.daemonGate : nullptr;
    if (gate) gate->cancel();
    ++connection_.generation;
    health_->stop();
    if (switchGate_) switchGate_->cancel();
    stopStatusPolling();
    stopWatching();
    tasks_.cancelAll();
    traffic_->stop();
    // Not one of tasks_: it is the task that waits for them.
    spawnTask(runtime_.executor(), runQuit(plan, std::move(gate)));
}

asio::awaitable<void> WarpController::runQuit(ConnectionLedger plan,
                                              std::shared_ptr<DaemonGate> gate) {
    auto unwind = [unwinder = ConnectionUnwinder(services_, std::move(gate)), plan,
                   budget = timings_.quitCleanup] { unwinder.unwindForQuit(plan, budget); };
    co_await awaitTeardown(runtime_.lifecyclePool(), unwind);
    // A cancelled attempt unwinds its own steps (a proxy write that landed after the restore
    // above is put back there); give the tasks a moment to end before the loop stops.
    co_await race(tasks_.drained(), sleepFor(timings_.quitDrainWait));
    quitDone_ = true;
    for (auto& done : std::exchange(quitWaiters_, {})) done();
}

}  // namespace nimbra
