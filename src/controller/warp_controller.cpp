#include "controller/warp_controller.hpp"

#include <unistd.h>

#include "base/log.hpp"
#include "engine/registration_endpoint.hpp"
#include "engine/usque_engine.hpp"
#include "l10n/l10n.hpp"
#include "model/preference_keys.hpp"
#include "observe/tunnel_byte_counters.hpp"

namespace nimbra {
namespace {

// How long a burst of application units starting or ending settles before the set is sent: a
// desktop starts an app's unit and then its process, and the app's first packets should already
// go its way.
constexpr std::chrono::milliseconds kAppUnitSettle{20};

std::string loopbackEndpoint(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

// The real registration file: the choice is stored whatever happens to it, so a file that is
// missing (not registered yet) or cannot be rewritten is only logged.
void rewriteRegistration(const std::string& prefix) {
    const EndpointRewrite result = rewriteEndpointV6(UsqueEngine::configPath(), prefix);
    if (!result.ok())
        logLine("nimbra", "exit gateway not written to usque's registration: " + result.reason);
}

ConnectionServices makeServices(ControllerEnvironment& environment, AppPreferences prefs,
                                int socksPort, int httpPort) {
    ConnectionServices services;
    services.engine = environment.makeEngine
                          ? environment.makeEngine(socksPort)
                          : std::make_shared<UsqueEngine>(
                                socksPort, UsqueEngine::Environment{.timings = environment.timings,
                                                                    .processes = nullptr,
                                                                    .store = &environment.store});
    services.relay = std::make_shared<HttpSocksRelay>(environment.timings);
    services.socksGateway =
        std::make_shared<LocalSocksGateway>(prefs, ProcessTable::system(), environment.timings);
    const LocalEndpoints ours{"127.0.0.1", httpPort, socksPort};
    services.systemProxy = environment.makeSystemProxy ? environment.makeSystemProxy(ours)
                                                       : SystemProxy::forThisDesktop(ours);
    services.diagnostics =
        environment.diagnostics ? environment.diagnostics : DiagnosticsService::system();
    services.daemon = environment.daemon
                          ? environment.daemon
                          : DaemonService::system(prefs, environment.runtime.blockingPool());
    services.pointRegistrationAt = environment.pointRegistrationAt;
    if (!services.pointRegistrationAt) services.pointRegistrationAt = &rewriteRegistration;
    return services;
}

}  // namespace

WarpController::WarpController(ControllerEnvironment environment)
    : runtime_(environment.runtime),
      prefs_(environment.store),
      timings_(environment.timings),
      startSequence_(environment.startSequence ? std::move(environment.startSequence)
                                               : StartSequence(&startTunnel)),
      state_(prefs_),
      tasks_(runtime_.executor()) {
    // Everything below reads migrated values.
    prefs_.migrateIfNeeded();
    socksPort_ = prefs_.socksPort();
    httpPort_ = prefs_.httpProxyPort();
    services_ = makeServices(environment, prefs_, socksPort_, httpPort_);
    traffic_ = std::make_unique<NetworkTrafficMonitor>(
        runtime_.executor(), runtime_.blockingPool(),
        environment.makeByteCounters ? environment.makeByteCounters(socksPort_)
                                     : std::make_unique<TunnelByteCounters>(socksPort_),
        timings_.trafficSample);
    // Delivered in place (both live on the core thread): each figure the monitor publishes is
    // part of the next snapshot at once.
    traffic_->subscribe([](std::function<void()> deliver) { deliver(); },
                        [this](TrafficSnapshotPtr figures) {
                            state_.update([&](ControllerSnapshot& s) { s.traffic = *figures; });
                        });

    health_ = std::make_unique<HealthMonitor>(
        state_, services_, runtime_, tasks_, timings_,
        HealthMonitor::Hooks{.connectUnderWay = [this] { return connectUnderWay(); },
                             .refreshExit = [this] { refreshExit(); },
                             .daemonTun = [this] { return connection_.ledger.daemonTun; },
                             .refreshDaemonStatus = [this] { refreshDaemonStatus(); }});
    appRouting_ = std::make_unique<AppRoutingSync>(
        runtime_, services_.daemon, prefs_,
        AppRoutingSync::Places{.cgroupRoot = environment.cgroupRoot, .uid = ::getuid()},
        kAppUnitSettle, [this](std::vector<AppTrafficNow> traffic, std::string note) {
            state_.update([&](ControllerSnapshot& s) {
                s.appTraffic = std::move(traffic);
                s.appRoutingNote = std::move(note);
            });
        });
    if (environment.watchNetwork) {
        networkWatcher_ = std::make_unique<NetworkChangeWatcher>(
            runtime_.executor(), timings_.networkChangeDebounce, [this] { networkChanged(); });
        resumeWatcher_ =
            std::make_unique<ResumeWatcher>(runtime_.executor(), [this] { networkChanged(); });
    }
    readSettings(environment);
    refreshUsquePath();
    refreshConflicts();
}

WarpController::~WarpController() = default;

void WarpController::readSettings(const ControllerEnvironment& environment) {
    const AppLanguage lang = language();
    state_.update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::disconnected;
        s.detail = L10n::ready(lang);
        s.ready = true;
        s.http2 = environment.http2ForRun.value_or(prefs_.preferHttp2());
        s.nat64Gateway = nat64GatewayFromPrefix(prefs_.nat64Prefix());
        s.chinaDirect = prefs_.chinaDirect();
        s.connectionMode = environment.connectionModeForRun.value_or(prefs_.connectionMode());
        s.splitTunnelMode = prefs_.splitTunnelMode();
        s.dnsModeOption = daemonDNSModeOptionFromRaw(prefs_.daemonDNSMode())
                              .value_or(DaemonDNSModeOption::cloudflare);
        s.dnsProfileDraft = prefs_.daemonDNSProfile();
        s.dnsDeviceDraft = prefs_.daemonDNSDevice();
        s.dnsCustomDraft = prefs_.daemonDNSCustom();
        s.socksEndpoint = loopbackEndpoint(socksPort_);
        s.httpEndpoint = loopbackEndpoint(httpPort_);
    });
}

uint64_t WarpController::subscribe(ControllerState::Poster post,
                                   ControllerState::SnapshotHandler handler) {
    return state_.subscribe(std::move(post), std::move(handler));
}

void WarpController::unsubscribe(uint64_t subscription) {
    state_.unsubscribe(subscription);
}

void WarpController::watchTraffic(bool shown) {
    if (shown) {
        ++trafficViewers_;
    } else if (trafficViewers_ > 0) {
        --trafficViewers_;
    }
    traffic_->setWatched(trafficViewers_ > 0);
}

// ---- the single button -----------------------------------------------------------------------

void WarpController::toggle() {
    const WarpPhase phase = state().phase;
    if (state().connecting || phase == WarpPhase::preparing || phase == WarpPhase::startingEngine) {
        cancelConnect();
    } else if (state().isConnected()) {
        disconnect();
    } else if (phase == WarpPhase::error && services_.engine->isRunning()) {
        disconnect();
    } else if (phase == WarpPhase::disconnected || phase == WarpPhase::error) {
        connect();
    }
    // stopping (and any phase in flight): the running teardown finishes on its own.
}

bool WarpController::connectUnderWay() const {
    const WarpPhase phase = state().phase;
    return state().connecting || phase == WarpPhase::preparing ||
           phase == WarpPhase::startingEngine;
}

// ---- settings --------------------------------------------------------------------------------

void WarpController::setHttp2(bool enabled) {
    prefs_.store().setBoolean(prefkey::preferHttp2, enabled);
    state_.update([&](ControllerSnapshot& s) { s.http2 = enabled; });
}

void WarpController::setConnectionMode(ConnectionMode mode) {
    prefs_.store().setText(prefkey::connectionMode, rawValue(mode));
    state_.update([&](ControllerSnapshot& s) { s.connectionMode = mode; });
}

void WarpController::setSplitTunnelMode(SplitTunnelMode mode) {
    if (mode == state().splitTunnelMode) return;
    state_.update([&](ControllerSnapshot& s) { s.splitTunnelMode = mode; });
    prefs_.store().setText(prefkey::splitTunnelMode, rawValue(mode));
    // Only a relay routes by the split; a mode chosen since the connect does not matter yet.
    if (quitting_ || !state().isConnected() || !state().runningSplit) return;
    tasks_.spawn(reapplySplitRouting(mode));
}

void WarpController::networkChanged() {
    if (!quitting_) health_->checkNow();
}

void WarpController::startWatching() {
    if (networkWatcher_) networkWatcher_->start();
    if (resumeWatcher_) resumeWatcher_->start();
}

void WarpController::stopWatching() {
    if (networkWatcher_) networkWatcher_->stop();
    if (resumeWatcher_) resumeWatcher_->stop();
    appRouting_->stop();
}

void WarpController::appRulesChanged() {
    if (!quitting_) appRouting_->rulesChanged();
}

void WarpController::relocalizeVisibleCopy() {
    state_.relocalize();
}

}  // namespace nimbra
