// The health loop and the self-heal. A check probes the exit through the engine's SOCKS port;
// the heal restarts the engine on the user's transport and probes once more. Every write after
// a suspension first asks whether the monitor was stopped meanwhile (a disconnect or a cancel).

#include "controller/health_monitor.hpp"

#include "base/async/await_blocking.hpp"
#include "base/async/sleep.hpp"
#include "l10n/l10n.hpp"
#include "l10n/localized_error.hpp"

namespace nimbra {

HealthMonitor::HealthMonitor(ControllerState& state, ConnectionServices services,
                             CoreRuntime& runtime, TaskScope& tasks, Timings timings, Hooks hooks)
    : state_(state),
      services_(std::move(services)),
      runtime_(runtime),
      tasks_(tasks),
      timings_(timings),
      hooks_(std::move(hooks)) {}

void HealthMonitor::start() {
    stop();
    loopTask_ = tasks_.spawn(loop(generation_));
}

void HealthMonitor::stop() {
    if (loopTask_) loopTask_->cancel();
    loopTask_.reset();
    consecutiveFailures_ = 0;
    healing_ = false;
    checking_ = false;
    ++generation_;
}

void HealthMonitor::checkNow() {
    if (!loopTask_) return;  // not connected: nothing to check
    tasks_.spawn(runCheck());
}

void HealthMonitor::healNow() {
    if (!loopTask_) return;
    tasks_.spawn(heal());
}

asio::awaitable<void> HealthMonitor::loop(int64_t generation) {
    co_await sleepFor(timings_.healthFirstCheck);
    while (generation == generation_) {
        co_await runCheck();
        co_await sleepFor(timings_.healthInterval);
    }
}

asio::awaitable<void> HealthMonitor::runCheck() {
    if (!connected() || healing_ || checking_ || hooks_.connectUnderWay()) co_return;
    checking_ = true;
    const int64_t generation = generation_;
    const bool healthy = co_await probeHealthy();
    if (generation != generation_) co_return;  // stopped meanwhile: the answer is nobody's
    checking_ = false;

    const AppLanguage lang = state_.language();
    if (healthy) {
        const int previous = std::exchange(consecutiveFailures_, 0);
        if (state_.snapshot().phase == WarpPhase::reconnecting) {
            state_.update([&](ControllerSnapshot& s) {
                s.phase = WarpPhase::connected;
                s.detail = L10n::tunnelRecovered(lang);
            });
            hooks_.refreshExit();
        } else if (previous >= 1 && state_.snapshot().phase == WarpPhase::connected) {
            hooks_.refreshExit();
        }
        co_return;
    }
    ++consecutiveFailures_;
    if (consecutiveFailures_ >= kFailuresBeforeHeal) {
        co_await heal();
    } else if (state_.snapshot().phase == WarpPhase::connected) {
        state_.setDetail(L10n::exitProbeRetrying(consecutiveFailures_, kFailuresBeforeHeal, lang));
    }
}

// Without a running engine there is nothing to probe through: unhealthy at once.
asio::awaitable<bool> HealthMonitor::probeHealthy() {
    if (!services_.engine->isRunning()) co_return false;
    auto probe = [diagnostics = services_.diagnostics, port = services_.engine->socksPort()] {
        try {
            return diagnostics->exitViaSocks(port).ok();
        } catch (const std::exception&) {
            return false;
        }
    };
    co_return co_await awaitTeardown(runtime_.blockingPool(), probe);
}

bool HealthMonitor::stillHealing(int64_t generation) const {
    return generation == generation_ && connected();
}

asio::awaitable<void> HealthMonitor::heal() {
    if (healing_ || !connected()) co_return;
    healing_ = true;
    const int64_t generation = generation_;
    consecutiveFailures_ = 0;
    AppLanguage lang = state_.language();
    state_.update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::reconnecting;
        s.detail = L10n::selfHealing(lang);
    });

    const bool http2 = state_.snapshot().http2;
    auto restart = [engine = services_.engine, http2]() -> std::exception_ptr {
        try {
            engine->stop();
            engine->ensureReady();
            engine->startSocks(http2);
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    };
    const std::exception_ptr failure = co_await awaitTeardown(runtime_.lifecyclePool(), restart);
    lang = state_.language();
    if (!stillHealing(generation)) {
        // Abandoned by a disconnect or a cancel whose own engine stop may have run before this
        // restart: nothing may be left running once nobody is connected any more.
        if (!connected() && !hooks_.connectUnderWay()) {
            auto stopAgain = [engine = services_.engine] { engine->stop(); };
            co_await awaitTeardown(runtime_.lifecyclePool(), stopAgain);
        }
        co_return;
    }
    if (failure) {
        state_.setDetail(L10n::healFailed(describeError(failure, lang), lang));
        consecutiveFailures_ = 1;
        healing_ = false;
        co_return;
    }

    auto probeExit = [diagnostics = services_.diagnostics, port = services_.engine->socksPort()] {
        try {
            return diagnostics->exitViaSocks(port);
        } catch (const std::exception& error) {
            return TraceProbe::failed(error.what());
        }
    };
    const TraceProbe probe = co_await awaitTeardown(runtime_.blockingPool(), probeExit);
    if (!stillHealing(generation)) co_return;
    lang = state_.language();
    if (probe.ok()) {
        state_.applyProbe(probe, /*viaTunnel=*/true);
        state_.update([&](ControllerSnapshot& s) {
            s.phase = WarpPhase::connected;
            s.detail = L10n::connectedVia(probe.loc, probe.colo, probe.warp, lang);
        });
    } else {
        state_.setDetail(
            L10n::healIncomplete(probe.error.value_or(L10n::warpExitProbeFailed(lang)), lang));
        consecutiveFailures_ = 1;
    }
    healing_ = false;
}

}  // namespace nimbra
