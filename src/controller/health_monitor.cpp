// The health loop and the self-heal. A check probes the exit through the engine's SOCKS port, or
// in real TUN mode asks nimbrad for its status and probes without a proxy; the heal restarts the
// engine on the user's transport (or has nimbrad restart its tunnel and waits until it is ready)
// and probes once more. Every write after a suspension first asks whether the monitor was
// stopped meanwhile (a disconnect or a cancel).

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
    healGate_->cancel();
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
                s.healFailure.clear();
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

// Without a running engine there is nothing to probe through: unhealthy at once. nimbrad saying
// its tunnel is not connected is as good as a failed probe; a daemon that does not answer leaves
// the verdict to the probe, since its TUN may well carry traffic all the same.
asio::awaitable<bool> HealthMonitor::probeHealthy() {
    if (hooks_.daemonTun()) {
        auto check = [daemon = services_.daemon, diagnostics = services_.diagnostics] {
            const std::optional<DaemonClient::Status> status = daemon->status();
            if (status && status->connected == false) return false;
            try {
                return diagnostics->exitDirect().ok();
            } catch (const std::exception&) {
                return false;
            }
        };
        co_return co_await awaitInterruptible(runtime_.blockingPool(), check);
    }
    if (!services_.engine->isRunning()) co_return false;
    auto probe = [diagnostics = services_.diagnostics, port = services_.engine->socksPort()] {
        try {
            return diagnostics->exitViaSocks(port).ok();
        } catch (const std::exception&) {
            return false;
        }
    };
    co_return co_await awaitInterruptible(runtime_.blockingPool(), probe);
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

    const bool daemonTun = hooks_.daemonTun();
    const std::exception_ptr failure = co_await restartTunnel(daemonTun);
    lang = state_.language();
    if (!stillHealing(generation)) {
        // Abandoned by a disconnect or a cancel whose own stop may have run before this restart:
        // nothing may be left running once nobody is connected any more.
        if (!connected() && !hooks_.connectUnderWay()) co_await stopAbandonedRestart(daemonTun);
        co_return;
    }
    if (failure) {
        reportHealFailure(L10n::healFailed(describeError(failure, lang), lang));
        consecutiveFailures_ = 1;
        healing_ = false;
        co_return;
    }

    auto probeExit = [diagnostics = services_.diagnostics, port = services_.engine->socksPort(),
                      daemonTun] {
        try {
            return daemonTun ? diagnostics->exitDirect() : diagnostics->exitViaSocks(port);
        } catch (const std::exception& error) {
            return TraceProbe::failed(error.what());
        }
    };
    const TraceProbe probe = co_await awaitInterruptible(runtime_.blockingPool(), probeExit);
    if (!stillHealing(generation)) co_return;
    lang = state_.language();
    if (probe.ok()) {
        state_.applyProbe(probe, /*viaTunnel=*/true);
        state_.update([&](ControllerSnapshot& s) {
            s.phase = WarpPhase::connected;
            s.detail = L10n::connectedVia(probe.loc, probe.colo, probe.warp, lang);
            s.healFailure.clear();
        });
        if (daemonTun) hooks_.refreshDaemonStatus();
    } else {
        reportHealFailure(
            L10n::healIncomplete(probe.error.value_or(L10n::warpExitProbeFailed(lang)), lang));
        consecutiveFailures_ = 1;
    }
    healing_ = false;
}

void HealthMonitor::reportHealFailure(std::string text) {
    state_.update([&](ControllerSnapshot& s) { s.detail = s.healFailure = std::move(text); });
}

asio::awaitable<std::exception_ptr> HealthMonitor::restartTunnel(bool daemonTun) {
    if (daemonTun) {
        healGate_ = std::make_shared<DaemonGate>();
        auto restart = [daemon = services_.daemon, gate = healGate_,
                        timings = timings_]() -> std::exception_ptr {
            try {
                daemon->command("restart", {}, "restart failed");
                const DaemonClient::ReadyWait wait{
                    .poll = timings.daemonReadyPoll,
                    .replyBudget = DaemonClient::kReplyBudget,
                    .cancelled = [&gate] { return gate->cancelled(); },
                };
                daemon->waitUntilReady(timings.daemonReadiness, wait);
                return nullptr;
            } catch (...) {
                return std::current_exception();
            }
        };
        co_return co_await awaitTeardown(runtime_.lifecyclePool(), restart);
    }
    // The connection's own transport: one chosen since it connected waits for the next connect.
    const bool http2 = state_.snapshot().runningHttp2.value_or(state_.snapshot().http2);
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
    co_return co_await awaitTeardown(runtime_.lifecyclePool(), restart);
}

asio::awaitable<void> HealthMonitor::stopAbandonedRestart(bool daemonTun) {
    auto stopAgain = [engine = services_.engine, daemon = services_.daemon, daemonTun] {
        if (daemonTun) {
            daemon->stop();
        } else {
            engine->stop();
        }
    };
    co_await awaitTeardown(runtime_.lifecyclePool(), stopAgain);
}

}  // namespace nimbra
