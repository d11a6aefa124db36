#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "base/async/core_runtime.hpp"
#include "base/async/task_scope.hpp"
#include "controller/connection_services.hpp"
#include "controller/controller_state.hpp"
#include "controller/daemon_gate.hpp"
#include "model/timings.hpp"

namespace nimbra {

// Keeps a connection honest: checks now and then that traffic still leaves through WARP, and
// after two failed checks in a row restarts the tunnel (the engine, or nimbrad's TUN in real TUN
// mode) and probes again, without ever leaving the connected state for disconnected. Lives on the
// core thread; its loop is a task of the controller's scope.
class HealthMonitor {
public:
    static constexpr int kFailuresBeforeHeal = 2;

    struct Hooks {
        std::function<bool()> connectUnderWay;
        std::function<void()> refreshExit;
        // The connection is nimbrad's TUN: check and heal it through the daemon.
        std::function<bool()> daemonTun;
        std::function<void()> refreshDaemonStatus;
    };

    HealthMonitor(ControllerState& state, ConnectionServices services, CoreRuntime& runtime,
                  TaskScope& tasks, Timings timings, Hooks hooks);

    // (Re)starts the loop: the first check after Timings::healthFirstCheck, then one every
    // Timings::healthInterval after the end of the previous one.
    void start();
    // Ends the loop; a heal still running abandons itself without touching phase or detail.
    void stop();
    // The network changed or the machine woke up: check at once rather than at the next turn.
    void checkNow();
    // The tunnel is known to be broken (a gateway switch ended unhealthy): heal at once.
    void healNow();

private:
    asio::awaitable<void> loop(int64_t generation);
    asio::awaitable<void> runCheck();
    asio::awaitable<bool> probeHealthy();
    asio::awaitable<void> heal();
    // The restart of the heal, on the lifecycle pool; the error, or nothing when it came up.
    asio::awaitable<std::exception_ptr> restartTunnel(bool daemonTun);
    asio::awaitable<void> stopAbandonedRestart(bool daemonTun);
    bool stillHealing(int64_t generation) const;
    // Shows a failed or incomplete heal and publishes it as the snapshot's healFailure.
    void reportHealFailure(std::string text);
    bool connected() const { return state_.snapshot().isConnected(); }

    ControllerState& state_;
    ConnectionServices services_;
    CoreRuntime& runtime_;
    TaskScope& tasks_;
    Timings timings_;
    Hooks hooks_;

    std::optional<TaskHandle> loopTask_;
    bool checking_ = false;
    bool healing_ = false;
    // Bumped by stop(): a check or heal that began under an older value is stale.
    int64_t generation_ = 0;
    int consecutiveFailures_ = 0;
    // The running heal's readiness wait ends at its next poll once stop() has cancelled it.
    std::shared_ptr<DaemonGate> healGate_ = std::make_shared<DaemonGate>();
};

}  // namespace nimbra
