#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "base/async/task_scope.hpp"
#include "controller/app_routing_sync.hpp"
#include "controller/connection_services.hpp"
#include "controller/connection_state.hpp"
#include "controller/controller_state.hpp"
#include "controller/gateway_files.hpp"
#include "controller/health_monitor.hpp"
#include "controller/start_context.hpp"
#include "model/app_preferences.hpp"
#include "model/timings.hpp"
#include "observe/network_change_watcher.hpp"
#include "observe/network_traffic_monitor.hpp"
#include "observe/resume_watcher.hpp"

namespace nimbra {

// What the controller is built from. Only the runtime and the store are required; the rest
// default to the real thing.
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
    // The desktop's proxy settings; the default is this desktop's store, journalled in the work
    // directory.
    std::function<std::shared_ptr<SystemProxy>(const LocalEndpoints& ours)> makeSystemProxy;
    // Points usque's registration file at an exit gateway; the default rewrites the real file.
    std::function<void(const std::string& prefix)> pointRegistrationAt;
    // nimbrad: its socket, installer and configuration sync; the default is the installed daemon
    // (NIMBRA_DAEMON_SOCKET moves its socket) and the user's own configuration file.
    std::shared_ptr<DaemonService> daemon;
    // The tunnel's byte counters behind the traffic figures; the default reads this system's.
    std::function<std::unique_ptr<ByteCounterSource>(int socksPort)> makeByteCounters;
    // Listen for network changes and wake-ups while connected (off in tests that do not want
    // the machine's own events).
    bool watchNetwork = true;
    // Where the cgroup2 tree is, in which per-app routing finds this user's application units.
    std::filesystem::path cgroupRoot = "/sys/fs/cgroup";
    // Settings for this run only (the command line's flags): used and shown, never stored.
    std::optional<ConnectionMode> connectionModeForRun;
    std::optional<bool> http2ForRun;
};

// The one object that owns the connection, as a facade over its parts:
//   ControllerState     the published fields (one update, one snapshot)
//   ConnectionState     the attempt generation, the ledger of what was started
//   ConnectAttempt      one press of Connect; its writes are dropped once it is superseded
//   startTunnel         one ModeStarter per mode on top of the shared engine start + retries
//   RealTunStarter      the real TUN mode, carried by nimbrad instead of the engine
//   ConnectionUnwinder  stops what a ledger names: failed connect, cancel, disconnect, quit
//   DaemonGate          a cancel's "stop" is the last command nimbrad hears from its attempt
//   TaskScope           every background task, cancelled and awaited when quitting
// It lives on the core thread: every operation must be entered there (post to the runtime from
// elsewhere). Views never read its fields; they subscribe to immutable snapshots.
class WarpController {
public:
    explicit WarpController(ControllerEnvironment environment);
    // Only once quit() has called back or the core loop has stopped for good: until then its
    // tasks may still resume.
    ~WarpController();
    WarpController(const WarpController&) = delete;
    WarpController& operator=(const WarpController&) = delete;

    // ---- published state (core thread) -----------------------------------------------------
    const ControllerSnapshot& state() const { return state_.snapshot(); }
    AppLanguage language() const { return state_.language(); }

    // Delivers the current snapshot, then one after every change. `post` moves each delivery
    // onto the subscriber's own thread (use the runtime's post for core-thread subscribers).
    uint64_t subscribe(ControllerState::Poster post, ControllerState::SnapshotHandler handler);
    void unsubscribe(uint64_t subscription);
    NetworkTrafficMonitor& trafficMonitor() { return *traffic_; }
    // A view starts (true) or stops (false) showing the traffic figures (state().traffic).
    // Counted: every true needs its own false. Only while at least one view shows them does the
    // monitor tick and a snapshot go out each tick; with none it sleeps once it has its base.
    void watchTraffic(bool shown);

    // ---- user actions ----------------------------------------------------------------------
    void toggle();
    void connect();
    void disconnect();
    void cancelConnect();

    void setHttp2(bool enabled);
    void setConnectionMode(ConnectionMode mode);
    // Stores the split; while connected in system-proxy mode also re-points the relay's routing
    // and the desktop's settings, without reconnecting.
    void setSplitTunnelMode(SplitTunnelMode mode);
    // Stores the exit gateway (also in usque's registration file); while connected, restarts the
    // engine through it and ends connected only when the exit probe passes.
    void setNat64Gateway(NAT64Gateway gateway);
    // Selects the gateway with the lowest measured latency; nothing when none answered.
    void autoSelectFastestGateway();
    // The network changed or the machine woke up: check the connection's health at once.
    void networkChanged();

    // ---- nimbrad's settings (real TUN) -------------------------------------------------------
    // Stores the DNS mode; while connected also applies it live.
    void setDnsModeOption(DaemonDNSModeOption mode);
    // The NextDNS profile and device and the custom upstream as typed; applied by the next
    // applyDaemonDNSLive().
    void setDnsDrafts(std::string profile, std::string device, std::string custom);
    // In real TUN mode: stores the DNS choice, rewrites the daemon's configuration and tells the
    // daemon; a refusal shows in dnsWarning. Nothing in the other modes.
    void applyDaemonDNSLive();
    // A route exclusion (IP address, CIDR block or domain) added, or one the daemon listed
    // removed; a refusal shows in dnsWarning, a success re-reads the daemon's status.
    void addDaemonExclude(const std::string& draft);
    void removeDaemonExclude(const std::string& entry);
    // Stores it and rewrites the daemon's configuration; while connected also tells the daemon.
    void setChinaDirect(bool on);
    // The per-app rules or the default for unlisted apps were saved: in real TUN mode, nimbrad
    // routes running applications by them at once.
    void appRulesChanged();
    // In real TUN mode: reads the daemon's status once into the published fields.
    void refreshDaemonStatus();

    void relocalizeVisibleCopy();
    void refreshUsquePath();
    void refreshExit();
    void refreshExitProbes();
    void refreshConflicts();

    // Quitting: every background task is cancelled, what this run started is stopped (also a
    // usque another run left on our SOCKS port) and proxy settings this run wrote are put back,
    // within about Timings::quitCleanup; then `done` runs on the core thread (also when quit was
    // called before). Nothing starts afterwards.
    void quit(std::function<void()> done);

private:
    void readSettings(const ControllerEnvironment& environment);
    void startWatching();
    void stopWatching();
    bool connectUnderWay() const;
    // HTTP/2 or QUIC: the running connection's, else the setting. A restart under a connection
    // (live switch, heal) keeps its transport; one chosen since applies at the next connect.
    bool transportInUse() const { return state().runningHttp2.value_or(state().http2); }

    // connect_flow.cpp
    void showPreparing();
    asio::awaitable<void> checkConflictsThenConnect(int64_t generation);
    void refuseForConflict();
    StartRequest beginAttempt();
    asio::awaitable<void> connectBody(StartRequest request);
    asio::awaitable<StartOutcome> connectTimeout(std::shared_ptr<DaemonGate> gate);
    void acceptOutcome(const StartOutcome& outcome, const StartRequest& request);
    void applyChoicesMadeWhileConnecting(const StartRequest& request);
    asio::awaitable<void> reportFailure(std::exception_ptr failure, const ConnectAttempt& attempt);
    void endAttempt();

    // disconnect_flow.cpp
    void tearDown(ConnectionLedger plan, bool cancelled, std::shared_ptr<DaemonGate> gate = {});
    asio::awaitable<void> runTeardown(ConnectionLedger plan, bool cancelled,
                                      std::shared_ptr<DaemonGate> gate);
    void resetAfterTeardown(bool cancelled);
    asio::awaitable<void> runQuit(ConnectionLedger plan, std::shared_ptr<DaemonGate> gate);

    // daemon_settings.cpp
    // The daemon's answers carry the connection generation they were asked under (see
    // ConnectionState): one that has ended writes nothing.
    asio::awaitable<void> runDnsSwitch(int64_t generation, DaemonDnsChoice choice);
    asio::awaitable<void> runExcludeChange(int64_t generation, std::string target, bool add);
    asio::awaitable<void> runChinaDirect(bool on, bool tellDaemon);
    asio::awaitable<void> fetchDaemonStatus(int64_t generation);
    void applyDaemonStatus(const DaemonClient::Status& status);
    void startStatusPolling();
    void stopStatusPolling();
    asio::awaitable<void> pollDaemonStatus(int64_t generation);
    // The daemon-reported fields cleared and their polling stopped (the exclusions stay).
    void clearTunStatus();

    // exit_gateways.cpp, split_routing.cpp
    void switchGatewayLive();
    asio::awaitable<void> runGatewaySwitch();
    void pointRegistrationAt(uint64_t choice, const std::string& prefix);
    asio::awaitable<void> reapplySplitRouting(SplitTunnelMode split);

    asio::awaitable<void> resolveUsquePath();
    asio::awaitable<void> runExitRefresh(int64_t generation, bool viaTunnel, bool throughSocks);
    asio::awaitable<void> runGatewayProbes();
    asio::awaitable<void> runConflictScan();

    CoreRuntime& runtime_;
    AppPreferences prefs_;
    Timings timings_;
    StartSequence startSequence_;
    ControllerState state_;
    ConnectionState connection_;
    ConnectionServices services_;
    int socksPort_ = AppPreferences::kDefaultSocksPort;
    int httpPort_ = AppPreferences::kDefaultHttpProxyPort;
    std::unique_ptr<NetworkTrafficMonitor> traffic_;
    int trafficViewers_ = 0;
    std::unique_ptr<HealthMonitor> health_;
    std::unique_ptr<AppRoutingSync> appRouting_;
    // The daemon's status, mirrored every Timings::daemonStatusPoll while its TUN is up.
    std::optional<TaskHandle> statusPollTask_;
    int64_t statusPollGeneration_ = 0;
    // While connected: a changed network or a wake-up checks the tunnel at once.
    std::unique_ptr<NetworkChangeWatcher> networkWatcher_;
    std::unique_ptr<ResumeWatcher> resumeWatcher_;
    // Live gateway switches run one after the other: one running, at most one more asked for.
    // One running is published (ControllerSnapshot::switchingGateway).
    bool switchAgain_ = false;
    // The running switch's wait for nimbrad; ending the connection ends it.
    std::shared_ptr<DaemonGate> switchGate_;
    // Keeps the registration file and nimbrad's configuration on the gateway chosen last.
    std::shared_ptr<GatewayFiles> gatewayFiles_ = std::make_shared<GatewayFiles>();
    bool quitting_ = false;
    bool quitDone_ = false;
    std::vector<std::function<void()>> quitWaiters_;
    // Last: destroyed first, so no task outlives the state it works on.
    TaskScope tasks_;
};

}  // namespace nimbra
