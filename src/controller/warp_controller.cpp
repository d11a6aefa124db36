#include "controller/warp_controller.hpp"

#include "controller/start_tunnel.hpp"
#include "engine/usque_engine.hpp"
#include "l10n/l10n.hpp"
#include "model/preference_keys.hpp"
#include "observe/tunnel_byte_counters.hpp"

namespace nimbra {
namespace {

std::string loopbackEndpoint(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

}  // namespace

WarpController::WarpController(ControllerEnvironment environment)
    : runtime_(environment.runtime),
      prefs_(environment.store),
      timings_(environment.timings),
      startSequence_(environment.startSequence ? std::move(environment.startSequence)
                                               : StartSequence(&startTunnel)) {
    // Everything below reads migrated values.
    prefs_.migrateIfNeeded();

    state_.phase = WarpPhase::disconnected;
    readSettings();
    state_.detail = L10n::ready(language());

    socksPort_ = prefs_.socksPort();  // also rewrites a stored 18088
    httpPort_ = prefs_.httpProxyPort();
    state_.socksEndpoint = loopbackEndpoint(socksPort_);
    state_.httpEndpoint = loopbackEndpoint(httpPort_);

    engine_ = environment.makeEngine
                  ? environment.makeEngine(socksPort_)
                  : std::make_shared<UsqueEngine>(
                        socksPort_, UsqueEngine::Environment{.timings = timings_,
                                                             .processes = nullptr,
                                                             .store = &environment.store});
    diagnostics_ = environment.diagnostics ? environment.diagnostics : DiagnosticsService::system();
    traffic_ = std::make_unique<NetworkTrafficMonitor>(
        runtime_.executor(), std::make_unique<TunnelByteCounters>(socksPort_),
        timings_.trafficSample);
    httpRelay_ = std::make_unique<HttpSocksRelay>(timings_);
    socksCompat_ = std::make_unique<LocalSocksGateway>(prefs_, ProcessTable::system(), timings_);
    publish();
    refreshUsquePath();
    refreshConflicts();
}

WarpController::~WarpController() {
    if (connectTask_) connectTask_->cancel();
}

void WarpController::readSettings() {
    state_.http2 = prefs_.preferHttp2();
    state_.nat64Gateway = nat64GatewayFromPrefix(prefs_.nat64Prefix());
    state_.chinaDirect = prefs_.chinaDirect();
    state_.connectionMode = prefs_.connectionMode();
    state_.splitTunnelMode = prefs_.splitTunnelMode();
    state_.dnsModeOption = daemonDNSModeOptionFromRaw(prefs_.daemonDNSMode())
                               .value_or(DaemonDNSModeOption::cloudflare);
    state_.dnsProfileDraft = prefs_.daemonDNSProfile();
    state_.dnsDeviceDraft = prefs_.daemonDNSDevice();
    state_.dnsCustomDraft = prefs_.daemonDNSCustom();
}

// ---- publishing ------------------------------------------------------------------------------

void WarpController::publish() {
    publisher_.publish(state_);
}

uint64_t WarpController::subscribe(Poster post, SnapshotHandler handler) {
    return publisher_.subscribe(std::move(post), std::move(handler));
}

void WarpController::unsubscribe(uint64_t subscription) {
    publisher_.unsubscribe(subscription);
}

// ---- the single button -----------------------------------------------------------------------

void WarpController::toggle() {
    const WarpPhase phase = state_.phase;
    if (connecting_ || phase == WarpPhase::preparing || phase == WarpPhase::startingEngine) {
        cancelConnect();
    } else if (isConnected()) {
        disconnect();
    } else if (phase == WarpPhase::error && engine_->isRunning()) {
        disconnect();
    } else if (phase == WarpPhase::disconnected || phase == WarpPhase::error) {
        connect();
    }
    // stopping (and any phase in flight): the running teardown finishes on its own.
}

// ---- settings --------------------------------------------------------------------------------

void WarpController::setHttp2(bool enabled) {
    prefs_.store().setBoolean(prefkey::preferHttp2, enabled);
    update([&](ControllerSnapshot& s) { s.http2 = enabled; });
}

void WarpController::setConnectionMode(ConnectionMode mode) {
    prefs_.store().setText(prefkey::connectionMode, rawValue(mode));
    update([&](ControllerSnapshot& s) { s.connectionMode = mode; });
}

void WarpController::setSplitTunnelMode(SplitTunnelMode mode) {
    if (mode == state_.splitTunnelMode) return;
    update([&](ControllerSnapshot& s) { s.splitTunnelMode = mode; });
    prefs_.store().setText(prefkey::splitTunnelMode, rawValue(mode));
    // Re-applying split routing to a live connection joins with the daemon-managed settings.
}

// ---- exit and status display -----------------------------------------------------------------

void WarpController::applyProbe(const TraceProbe& probe, bool viaTunnel) {
    if (!probe.fetched) return;
    auto orDash = [](const std::string& value) { return value.empty() ? std::string("—") : value; };
    update([&](ControllerSnapshot& s) {
        s.exitIp = probe.ip;
        s.exitLoc = orDash(probe.loc);
        s.exitColo = orDash(probe.colo);
        s.exitWarp = orDash(probe.warp);
        s.exitViaTunnel = viaTunnel;
    });
}

void WarpController::clearExitDisplay() {
    update([](ControllerSnapshot& s) {
        s.exitIp = s.exitLoc = s.exitColo = s.exitWarp = "—";
        s.exitViaTunnel = false;
    });
}

void WarpController::clearTunStatus() {
    update([](ControllerSnapshot& s) {
        s.tunIface.clear();
        s.dnsModeLive.clear();
        s.dnsWarning.clear();
        s.dnsRunning = false;
    });
}

void WarpController::setDetail(std::string detail) {
    update([&](ControllerSnapshot& s) { s.detail = std::move(detail); });
}

void WarpController::setHttp2Tip(std::optional<Http2TipKind> kind) {
    http2TipKind_ = kind;
    const std::string text = kind ? std::string(tipText(*kind, language())) : std::string();
    update([&](ControllerSnapshot& s) { s.http2Tip = text; });
}

void WarpController::relocalizeVisibleCopy() {
    const AppLanguage lang = language();
    update([&](ControllerSnapshot& s) {
        s.conflictBanner = L10n::conflictBanner(lastConflictHints_, lang).value_or("");
        if (http2TipKind_) s.http2Tip = std::string(tipText(*http2TipKind_, lang));
        if (auto resting = L10n::restingTextIn(s.detail, lang)) s.detail = std::move(*resting);
    });
}

}  // namespace nimbra
