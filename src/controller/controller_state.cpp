#include "controller/controller_state.hpp"

#include "l10n/l10n.hpp"

namespace nimbra {

ControllerState::ControllerState(AppPreferences preferences) : prefs_(preferences) {}

uint64_t ControllerState::subscribe(Poster post, SnapshotHandler handler) {
    return publisher_.subscribe(std::move(post), std::move(handler));
}

void ControllerState::unsubscribe(uint64_t subscription) {
    publisher_.unsubscribe(subscription);
}

void ControllerState::setDetail(std::string detail) {
    update([&](ControllerSnapshot& s) { s.detail = std::move(detail); });
}

void ControllerState::setHttp2Tip(std::optional<Http2TipKind> kind) {
    http2TipKind_ = kind;
    const std::string text = kind ? std::string(tipText(*kind, language())) : std::string();
    update([&](ControllerSnapshot& s) { s.http2Tip = text; });
}

void ControllerState::applyProbe(const TraceProbe& probe, bool viaTunnel) {
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

void ControllerState::clearExitDisplay() {
    update([](ControllerSnapshot& s) {
        s.exitIp = s.exitLoc = s.exitColo = s.exitWarp = "—";
        s.exitViaTunnel = false;
    });
}

void ControllerState::clearTunStatus() {
    update([](ControllerSnapshot& s) {
        s.tunIface.clear();
        s.dnsModeLive.clear();
        s.dnsWarning.clear();
        s.dnsRunning = false;
    });
}

void ControllerState::clearRunning() {
    update([](ControllerSnapshot& s) {
        s.runningMode.reset();
        s.runningHttp2.reset();
        s.runningSplit.reset();
        s.runningGateway.reset();
    });
}

void ControllerState::setDaemonReachable(bool reachable) {
    if (state_.daemonReachable == reachable) return;
    update([&](ControllerSnapshot& s) { s.daemonReachable = reachable; });
}

void ControllerState::applyConflictReport(const ConflictReport& report) {
    lastConflictHints_ = report.hints;
    const std::string banner = L10n::conflictBanner(report.hints, language()).value_or("");
    update([&](ControllerSnapshot& s) {
        s.conflictBanner = banner;
        s.conflictBlocking = report.officialWarpConnected;
    });
}

void ControllerState::relocalize() {
    const AppLanguage lang = language();
    update([&](ControllerSnapshot& s) {
        s.conflictBanner = L10n::conflictBanner(lastConflictHints_, lang).value_or("");
        if (http2TipKind_) s.http2Tip = std::string(tipText(*http2TipKind_, lang));
        if (auto resting = L10n::restingTextIn(s.detail, lang)) s.detail = std::move(*resting);
    });
}

}  // namespace nimbra
