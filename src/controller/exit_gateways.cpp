// Exit gateways: measuring them, choosing one, and switching a live connection over to it.

#include <asio/post.hpp>

#include "base/async/await_blocking.hpp"
#include "base/async/sleep.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"
#include "model/preference_keys.hpp"

namespace nimbra {
namespace {

constexpr int kGatewayProbeTimeoutMs = 3500;

// nimbrad's side of a live switch: the prefix, a restart, and the wait until its tunnel is
// back, so the probe after it meets a tunnel that is up rather than one still coming up.
// Failures are left to that probe.
void restartDaemonThrough(const DaemonService& daemon, const std::string& prefix,
                          const Timings& timings, const DaemonGate& gate) {
    try {
        daemon.setNAT64(prefix);
        daemon.command("restart", {}, "restart failed");
        // Ends at its next poll once the connection is being ended, not 45 s later.
        DaemonClient::ReadyWait wait;
        wait.poll = timings.daemonReadyPoll;
        wait.cancelled = [&gate] { return gate.cancelled(); };
        daemon.waitUntilReady(timings.daemonReadiness, wait);
    } catch (const std::exception&) {
        // The probe below tells whether the tunnel carries traffic.
    }
}

}  // namespace

void WarpController::refreshExitProbes() {
    if (quitting_ || state().exitLatencyProbing) return;
    state_.update([](ControllerSnapshot& s) { s.exitLatencyProbing = true; });
    tasks_.spawn(runGatewayProbes());
}

asio::awaitable<void> WarpController::runGatewayProbes() {
    std::map<std::string, int> latencies;
    bool measured = false;
    try {
        latencies = co_await services_.diagnostics->gatewayLatencies(runtime_.blockingPool(),
                                                                     kGatewayProbeTimeoutMs);
        measured = true;
    } catch (const std::exception&) {
        // The flag must come down whatever happened; the last figures stay.
    }
    state_.update([&](ControllerSnapshot& s) {
        if (measured) s.exitProbes = std::move(latencies);
        s.exitLatencyProbing = false;
    });
}

void WarpController::setNat64Gateway(NAT64Gateway gateway) {
    if (quitting_) return;
    const std::string prefix = rawValue(gateway);
    prefs_.store().setText(prefkey::nat64Prefix, prefix);
    state_.update([&](ControllerSnapshot& s) { s.nat64Gateway = gateway; });
    // The files follow every choice at once, not the switch: a switch that a disconnect or quit
    // cuts short must not leave them naming the gateway before, for the next connect to use.
    pointRegistrationAt(gatewayFiles_->choose(), prefix);
    // Re-selecting the current gateway while connected restarts through it all the same.
    if (state().isConnected() && !connectUnderWay()) switchGatewayLive();
}

// usque's registration and nimbrad's configuration both name the gateway. The write is queued on
// the pool here and now, not from a task: a quit cancels the tasks that have not begun, and the
// choice must reach the files all the same.
void WarpController::pointRegistrationAt(uint64_t choice, const std::string& prefix) {
    asio::post(runtime_.lifecyclePool(),
               [files = gatewayFiles_, services = services_, choice, prefix,
                http2 = transportInUse()] { files->write(choice, services, prefix, http2); });
}

void WarpController::autoSelectFastestGateway() {
    if (const auto fastest = fastestGateway(state().exitProbes)) setNat64Gateway(*fastest);
}

void WarpController::switchGatewayLive() {
    if (state().switchingGateway) {
        switchAgain_ = true;  // after the running one, through the gateway chosen last
        return;
    }
    state_.update([](ControllerSnapshot& s) { s.switchingGateway = true; });
    tasks_.spawn(runGatewaySwitch());
}

// The tunnel restarts through the new gateway: the engine, or in real TUN mode nimbrad's TUN
// (told the new NAT64 prefix first). The connection is called connected again only when the exit
// probe says so; a switch that ends unhealthy goes to the heal.
asio::awaitable<void> WarpController::runGatewaySwitch() {
    do {
        health_->stop();  // no heal may restart the tunnel under the switch
        state_.update([lang = language()](ControllerSnapshot& s) {
            s.phase = WarpPhase::reconnecting;
            s.detail = L10n::switchingGateway(lang);
        });
        const bool daemonTun = connection_.ledger.daemonTun;
        const NAT64Gateway gateway = state().nat64Gateway;
        switchGate_ = std::make_shared<DaemonGate>();
        auto restart = [services = services_, files = gatewayFiles_,
                        choice = gatewayFiles_->latest(), prefix = rawValue(gateway),
                        http2 = transportInUse(), daemonTun, timings = timings_,
                        gate = switchGate_] {
            // The pool runs two jobs at once, so its choice's own write may not have landed
            // yet: the restart must not read the files before it has.
            files->write(choice, services, prefix, http2);
            if (daemonTun) {
                restartDaemonThrough(*services.daemon, prefix, timings, *gate);
                return;
            }
            const auto& engine = services.engine;
            try {
                engine->stop();
                engine->startSocks(http2);
            } catch (const std::exception&) {
                // The probe below tells whether the tunnel carries traffic.
            }
        };
        co_await awaitTeardown(runtime_.lifecyclePool(), restart);
        co_await sleepFor(timings_.gatewaySwitchSettle);
        auto probe = [diagnostics = services_.diagnostics, port = socksPort_, daemonTun] {
            try {
                return (daemonTun ? diagnostics->exitDirect() : diagnostics->exitViaSocks(port))
                    .ok();
            } catch (const std::exception&) {
                return false;
            }
        };
        const bool healthy = co_await awaitInterruptible(runtime_.blockingPool(), probe);
        if (state().phase != WarpPhase::reconnecting) {
            // A disconnect meanwhile owns the state; its stop may have run before this restart,
            // so nothing may be left running once nobody is connected.
            if (!state().isConnected() && !connectUnderWay()) {
                auto stopAgain = [services = services_, daemonTun] {
                    if (daemonTun) {
                        services.daemon->stop();
                    } else {
                        services.engine->stop();
                    }
                };
                co_await awaitTeardown(runtime_.lifecyclePool(), stopAgain);
            }
            break;
        }
        state_.update([&](ControllerSnapshot& s) { s.runningGateway = gateway; });
        health_->start();
        if (healthy) {
            state_.update([](ControllerSnapshot& s) { s.phase = WarpPhase::connected; });
            refreshExit();
            refreshExitProbes();
        } else if (!switchAgain_) {
            health_->healNow();
        }
    } while (std::exchange(switchAgain_, false));
    switchAgain_ = false;  // also after a disconnect cut the switches short
    state_.update([](ControllerSnapshot& s) { s.switchingGateway = false; });
}

}  // namespace nimbra
