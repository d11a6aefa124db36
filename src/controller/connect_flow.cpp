// Connecting: one task races the start sequence against the connect time-out and applies the
// outcome only while its generation is current, so a superseded attempt can never write.

#include <chrono>
#include <variant>

#include "base/async/await_blocking.hpp"
#include "base/async/race.hpp"
#include "base/async/sleep.hpp"
#include "base/text.hpp"
#include "controller/connect_error.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

std::string connectedDetail(const TraceProbe& probe, AppLanguage language) {
    return L10n::connectedVia(probe.loc, probe.colo, probe.warp, language);
}

// Failures that the HTTP/2 transport often cures: time-outs, probes, MASQUE or WARP trouble.
bool suggestsHttp2(const std::string& description) {
    for (const char* word : {"timeout", "超时", "探测", "probe", "MASQUE", "WARP"}) {
        if (text::containsCaseInsensitive(description, word)) return true;
    }
    return false;
}

}  // namespace

void WarpController::connect() {
    if (connecting_) return;
    // The attempt owns the button from here on, so a second press cancels it even while the
    // conflict scan runs.
    connecting_ = true;
    const int64_t generation = ++connectGeneration_;
    connectTask_ = spawnTask(runtime_.executor(), checkConflictsThenConnect(generation));
}

// The conflict scan runs tools that can hang, so it runs on the pool rather than on the core
// thread; a connected official WARP client refuses the attempt before anything starts.
asio::awaitable<void> WarpController::checkConflictsThenConnect(int64_t generation) {
    auto scan = [diagnostics = diagnostics_] { return diagnostics->scanConflicts(); };
    const ConflictReport report = co_await awaitBlocking(runtime_.blockingPool(), scan);
    if (generation != connectGeneration_) co_return;
    applyConflictReport(report);
    if (report.officialWarpConnected) {
        refuseForConflict();
        co_return;
    }
    co_await connectBody(beginAttempt(), generation);
}

void WarpController::refuseForConflict() {
    http2TipKind_.reset();
    const AppLanguage lang = language();
    update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::disconnected;
        s.detail = std::string(hintText(ConflictHint::disconnectOfficialWarp, lang));
        s.http2Tip.clear();
    });
    connecting_ = false;
    connectTask_.reset();
}

StartRequest WarpController::beginAttempt() {
    http2TipKind_.reset();
    update([lang = language()](ControllerSnapshot& s) {
        s.phase = WarpPhase::preparing;
        s.detail = L10n::checkingUsque(lang);
        s.globalCoverageNote.clear();
        s.http2Tip.clear();
        s.exitIp = s.exitLoc = s.exitColo = s.exitWarp = "—";
        s.exitViaTunnel = false;
    });

    StartRequest request;
    request.mode = state_.connectionMode;
    request.preferHttp2 = state_.http2;
    request.userRequestedHttp2 = state_.http2;
    request.splitMode = state_.splitTunnelMode;
    request.socksPort = engine_->socksPort();
    request.httpPort = prefs_.httpProxyPort();
    request.allowHttp2Retry = !state_.http2;
    return request;
}

asio::awaitable<StartOutcome> WarpController::connectTimeout() {
    co_await sleepFor(timings_.connectRace);
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(timings_.connectRace).count();
    throw ConnectError::timedOut(static_cast<int>(seconds));
}

asio::awaitable<void> WarpController::connectBody(StartRequest request, int64_t generation) {
    std::optional<StartOutcome> outcome;
    std::exception_ptr failure;
    try {
        auto first = co_await race(startSequence_(*this, request), connectTimeout());
        // The time-out only ever throws, so a value is the start sequence's.
        outcome = std::get<0>(std::move(first));
    } catch (...) {
        failure = std::current_exception();
    }

    if (outcome) {
        const bool cancelled = co_await isCancelled();
        if (generation != connectGeneration_ || cancelled) co_return;
        acceptOutcome(*outcome, request);
        co_return;
    }
    // A cancellation belongs to whoever cancelled: they own the state from here on.
    if (isCancellation(failure)) {
        traffic_->reset();
        co_return;
    }
    if (generation != connectGeneration_) co_return;
    co_await reportFailure(failure, generation);
}

void WarpController::acceptOutcome(const StartOutcome& outcome, const StartRequest& request) {
    proxyApplied_ = outcome.appliedProxy;
    relayStarted_ = outcome.relayStarted;
    tunStarted_ = outcome.tunStarted;
    update([&](ControllerSnapshot& s) { s.globalCoverageNote = outcome.coverageNote; });
    if (outcome.autoEnabledHttp2) {
        setHttp2(true);
        setHttp2Tip(Http2TipKind::autoEnabled);
    }
    update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::connected;
        s.detail = connectedDetail(outcome.probe, language());
    });
    applyProbe(outcome.probe, /*viaTunnel=*/true);
    update([&](ControllerSnapshot& s) {
        s.socksEndpoint = "127.0.0.1:" + std::to_string(request.socksPort);
        s.httpEndpoint = "127.0.0.1:" + std::to_string(request.httpPort);
    });
    connecting_ = false;
    connectTask_.reset();
    refreshUsquePath();
    // Daemon status polling starts here with the daemon-managed settings.
    std::optional<std::string> tunIface;
    if (outcome.tunStarted && !state_.tunIface.empty()) tunIface = state_.tunIface;
    traffic_->start(tunIface);
    // The health monitor starts here with self-healing.
}

asio::awaitable<void> WarpController::reportFailure(std::exception_ptr failure,
                                                    int64_t generation) {
    traffic_->stop();
    // Stop everything in every mode, whatever this attempt managed to start.
    co_await awaitTeardown(runtime_.blockingPool(), [this] {
        runTeardownSteps({.stopDaemon = true, .stopRelay = true, .stopSocksCompat = true});
    });
    // The teardown was a suspension: a cancel or a newer attempt may own the state by now.
    if (generation != connectGeneration_) co_return;

    proxyApplied_ = relayStarted_ = tunStarted_ = socksCompatStarted_ = false;
    const std::string description = describeError(failure, language());
    update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::error;
        s.detail = description;
    });
    clearTunStatus();
    if (!state_.http2 && suggestsHttp2(description)) setHttp2Tip(Http2TipKind::connectFailed);
    refreshConflicts();
    connecting_ = false;
    connectTask_.reset();
}

}  // namespace nimbra
