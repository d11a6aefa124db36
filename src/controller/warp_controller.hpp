#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "base/async/task.hpp"
#include "base/snapshot_publisher.hpp"
#include "controller/controller_snapshot.hpp"
#include "controller/diagnostics_service.hpp"
#include "controller/start_outcome.hpp"
#include "diagnostics/trace_probe.hpp"
#include "engine/tunnel_engine.hpp"
#include "model/app_preferences.hpp"
#include "model/conflict_hint.hpp"
#include "model/http2_tip_kind.hpp"
#include "model/timings.hpp"
#include "observe/network_traffic_monitor.hpp"
#include "proxy/http_socks_relay.hpp"
#include "proxy/local_socks_gateway.hpp"

namespace nimbra {

class WarpController;

// The start sequence of one connect attempt. The product's own is startTunnel; tests script one.
using StartSequence = std::function<asio::awaitable<StartOutcome>(WarpController&, StartRequest)>;

// What the controller is built from. Only the runtime and the store are required.
struct ControllerEnvironment {
    ControllerEnvironment(CoreRuntime& coreRuntime, PreferenceStore& preferenceStore)
        : runtime(coreRuntime), store(preferenceStore) {}

    CoreRuntime& runtime;
    PreferenceStore& store;
    Timings timings = Timings::standard();
    // Creates the engine for the SOCKS port chosen at start-up; the default is the usque engine.
    std::function<std::shared_ptr<TunnelEngine>(int socksPort)> makeEngine;
    StartSequence startSequence;
    // Exit probes, gateway latencies and the conflict scan; the default looks at the system.
    std::shared_ptr<DiagnosticsService> diagnostics;
};

// The one object that owns the connection. It lives on the core thread: every field is read and
// written there and every operation must be entered there (post to runtime() from elsewhere).
// Views never read its fields directly; they subscribe to immutable snapshots instead.
class WarpController {
public:
    explicit WarpController(ControllerEnvironment environment);
    ~WarpController();
    WarpController(const WarpController&) = delete;
    WarpController& operator=(const WarpController&) = delete;

    // ---- published state -------------------------------------------------------------------
    const ControllerSnapshot& state() const { return state_; }
    bool isConnected() const { return state_.isConnected(); }

    // Delivers the current snapshot, then one after every change. `post` moves each delivery
    // onto the subscriber's own thread (use the runtime's post for core-thread subscribers).
    using Poster = std::function<void(std::function<void()>)>;
    using SnapshotHandler = std::function<void(SnapshotPtr)>;
    uint64_t subscribe(Poster post, SnapshotHandler handler);
    void unsubscribe(uint64_t subscription);

    // ---- user actions ----------------------------------------------------------------------
    void toggle();
    void connect();
    void disconnect();
    void cancelConnect();

    void setHttp2(bool enabled);
    void setConnectionMode(ConnectionMode mode);
    void setSplitTunnelMode(SplitTunnelMode mode);

    // ---- exit and status display -----------------------------------------------------------
    void applyProbe(const TraceProbe& probe, bool viaTunnel);
    void clearExitDisplay();
    void clearTunStatus();
    void setHttp2Tip(std::optional<Http2TipKind> kind);
    void relocalizeVisibleCopy();
    void refreshUsquePath();
    void refreshExit();
    void refreshExitProbes();
    void refreshConflicts();
    void applyConflictReport(const ConflictReport& report);

    // ---- for flows and tests ---------------------------------------------------------------
    CoreRuntime& runtime() { return runtime_; }
    const Timings& timings() const { return timings_; }
    AppPreferences preferences() const { return prefs_; }
    AppLanguage language() const { return prefs_.uiLanguage(); }
    TunnelEngine& engine() { return *engine_; }
    NetworkTrafficMonitor& trafficMonitor() { return *traffic_; }
    int socksPort() const { return socksPort_; }
    int httpPort() const { return httpPort_; }
    bool connecting() const { return connecting_; }
    int64_t connectGeneration() const { return connectGeneration_; }
    bool proxyApplied() const { return proxyApplied_; }
    bool relayStarted() const { return relayStarted_; }
    bool tunStarted() const { return tunStarted_; }
    bool socksCompatStarted() const { return socksCompatStarted_; }
    std::optional<Http2TipKind> http2TipKind() const { return http2TipKind_; }

    // Changes published fields and publishes one snapshot for the whole change.
    template <typename Mutation>
    void update(Mutation&& mutate) {
        mutate(state_);
        publish();
    }
    void setDetail(std::string detail);

private:
    struct Teardown {
        bool stopDaemon = false;
        bool stopRelay = false;
        bool stopSocksCompat = false;
        bool restoreProxy = false;
    };

    void readSettings();
    asio::awaitable<void> resolveUsquePath();
    void publish();
    bool connectUnderWay() const;
    asio::awaitable<void> checkConflictsThenConnect(int64_t generation);
    void refuseForConflict();
    StartRequest beginAttempt();
    asio::awaitable<void> connectBody(StartRequest request, int64_t generation);
    asio::awaitable<void> runExitRefresh(bool viaTunnel, bool throughSocks);
    asio::awaitable<void> runGatewayProbes();
    asio::awaitable<void> runConflictScan();
    asio::awaitable<StartOutcome> connectTimeout();
    void acceptOutcome(const StartOutcome& outcome, const StartRequest& request);
    asio::awaitable<void> reportFailure(std::exception_ptr failure, int64_t generation);
    asio::awaitable<void> tearDown(Teardown plan, bool cancelled);
    void runTeardownSteps(const Teardown& plan);
    void resetAfterTeardown();

    CoreRuntime& runtime_;
    AppPreferences prefs_;
    Timings timings_;
    StartSequence startSequence_;

    ControllerSnapshot state_;
    SnapshotPublisher<ControllerSnapshot> publisher_{state_};

    int socksPort_ = AppPreferences::kDefaultSocksPort;
    int httpPort_ = AppPreferences::kDefaultHttpProxyPort;
    std::shared_ptr<TunnelEngine> engine_;
    std::shared_ptr<DiagnosticsService> diagnostics_;
    std::unique_ptr<NetworkTrafficMonitor> traffic_;
    // Both live as long as the controller; each starts its own thread on its first start.
    std::unique_ptr<HttpSocksRelay> httpRelay_;
    std::unique_ptr<LocalSocksGateway> socksCompat_;

    bool connecting_ = false;
    bool proxyApplied_ = false;
    bool relayStarted_ = false;
    bool tunStarted_ = false;
    bool socksCompatStarted_ = false;
    std::optional<TaskHandle> connectTask_;
    int64_t connectGeneration_ = 0;
    std::vector<ConflictHint> lastConflictHints_;
    std::optional<Http2TipKind> http2TipKind_;
};

}  // namespace nimbra
