// Connecting: one task races the start sequence against the connect time-out and applies the
// outcome only while its attempt is current, so a superseded attempt can never write.

#include <chrono>
#include <variant>

#include "base/async/await_blocking.hpp"
#include "base/async/race.hpp"
#include "base/async/sleep.hpp"
#include "base/text.hpp"
#include "controller/connect_error.hpp"
#include "controller/connection_unwinder.hpp"
#include "controller/warp_controller.hpp"
#include "engine/usque_error.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

bool isMissingUsque(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const UsqueError& error) {
        return std::holds_alternative<UsqueError::BinaryMissing>(error.reason());
    } catch (...) {
        return false;
    }
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
    if (quitting_ || state().connecting) return;
    if (connection_.teardowns > 0) {
        connection_.connectWhenIdle = true;
        return;
    }
    // The attempt owns the button from here on and shows itself before the conflict scan, which
    // can take seconds: an idle "Connect" button meanwhile would invite a second press, and that
    // press would cancel the attempt the user is waiting for.
    connection_.daemonGate = std::make_shared<DaemonGate>();
    connection_.attemptMode = state().connectionMode;
    const int64_t generation = ++connection_.generation;
    showPreparing();
    connection_.attemptTask = tasks_.spawn(checkConflictsThenConnect(generation));
}

void WarpController::showPreparing() {
    state_.setHttp2Tip(std::nullopt);
    state_.update([lang = language()](ControllerSnapshot& s) {
        s.phase = WarpPhase::preparing;
        s.detail = L10n::checkingUsque(lang);
        s.ready = false;
        s.connecting = true;
        s.lastConnectError.clear();
        s.healFailure.clear();
    });
}

// The conflict scan runs tools that can hang, so it runs off the core thread; a connected
// official WARP client refuses the attempt before anything starts.
asio::awaitable<void> WarpController::checkConflictsThenConnect(int64_t generation) {
    auto scan = [diagnostics = services_.diagnostics] { return diagnostics->scanConflicts(); };
    const ConflictReport report = co_await awaitBlocking(runtime_.lifecyclePool(), scan);
    if (generation != connection_.generation) co_return;
    state_.applyConflictReport(report);
    if (report.officialWarpConnected) {
        refuseForConflict();
        co_return;
    }
    co_await connectBody(beginAttempt());
}

void WarpController::refuseForConflict() {
    const AppLanguage lang = language();
    state_.update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::disconnected;
        s.detail = s.lastConnectError = hintText(ConflictHint::disconnectOfficialWarp, lang);
    });
    endAttempt();
}

// The last exit stays on show until an attempt really begins: a refused one leaves it.
StartRequest WarpController::beginAttempt() {
    state_.update([](ControllerSnapshot& s) {
        s.globalCoverageNote.clear();
        s.proxyWriteFailedNote.clear();
        s.exitIp = s.exitLoc = s.exitColo = s.exitWarp = "—";
        s.exitViaTunnel = false;
    });
    const ControllerSnapshot& s = state();
    return StartRequest{
        .mode = s.connectionMode,
        .preferHttp2 = s.http2,
        .userRequestedHttp2 = s.http2,
        .splitMode = s.splitTunnelMode,
        .gateway = s.nat64Gateway,
        .gatewayChoice = gatewayFiles_->latest(),
        .socksPort = socksPort_,
        .httpPort = prefs_.httpProxyPort(),
        .allowHttp2Retry = !s.http2,
    };
}

asio::awaitable<StartOutcome> WarpController::connectTimeout(std::shared_ptr<DaemonGate> gate) {
    co_await sleepFor(timings_.connectRace);
    // The race waits for the start sequence to give up, which a blocking readiness wait does only
    // when it is told.
    gate->cancel();
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(timings_.connectRace).count();
    throw ConnectError::timedOut(static_cast<int>(seconds));
}

asio::awaitable<void> WarpController::connectBody(StartRequest request) {
    ConnectAttempt attempt(state_, connection_, request);
    connection_.attemptMode = request.mode;  // what a cancel or quit stops from here on
    const std::shared_ptr<DaemonGate> gate = connection_.daemonGate;
    StartContext context{
        .attempt = attempt,
        .services = services_,
        .lifecycle = runtime_.lifecyclePool(),
        .timings = timings_,
        .daemonGate = gate,
        .storeHttp2 =
            [this, &attempt](bool http2) {
                if (attempt.isCurrent()) setHttp2(http2);
            },
    };
    std::optional<StartOutcome> outcome;
    std::exception_ptr failure;
    try {
        auto first = co_await race(startSequence_(context, request), connectTimeout(gate));
        // The time-out only ever throws, so a value is the start sequence's.
        outcome = std::get<0>(std::move(first));
    } catch (...) {
        failure = std::current_exception();
    }

    if (outcome) {
        // Superseded after its last step: the cancel (or quit) that superseded it stops it all.
        const bool cancelled = co_await isCancelled();
        if (attempt.isCurrent() && !cancelled) acceptOutcome(*outcome, request);
        co_return;
    }
    // A cancellation belongs to whoever cancelled: they own the state from here on.
    if (isCancellation(failure)) {
        traffic_->reset();
        co_return;
    }
    if (!attempt.isCurrent()) co_return;
    co_await reportFailure(failure, attempt);
}

void WarpController::acceptOutcome(const StartOutcome& outcome, const StartRequest& request) {
    connection_.ledger = outcome.started;
    if (outcome.autoEnabledHttp2) {
        setHttp2(true);
        state_.setHttp2Tip(Http2TipKind::autoEnabled);
    }
    state_.applyProbe(outcome.probe, /*viaTunnel=*/true);
    const std::string detail =
        L10n::connectedVia(outcome.probe.loc, outcome.probe.colo, outcome.probe.warp, language());
    state_.update([&](ControllerSnapshot& s) {
        s.runningMode = request.mode;
        s.runningHttp2 = request.preferHttp2 || outcome.autoEnabledHttp2;
        if (outcome.started.relay) s.runningSplit = request.splitMode;
        s.runningGateway = request.gateway;
        s.globalCoverageNote = outcome.coverageNote;
        s.phase = WarpPhase::connected;
        s.detail = detail;
        s.socksEndpoint = "127.0.0.1:" + std::to_string(request.socksPort);
        s.httpEndpoint = "127.0.0.1:" + std::to_string(request.httpPort);
    });
    endAttempt();
    refreshUsquePath();
    traffic_->start(std::nullopt);
    health_->start();
    startWatching();
    if (outcome.started.daemonTun) {
        appRouting_->start();
        startStatusPolling();
        refreshDaemonStatus();
    }
    applyChoicesMadeWhileConnecting(request);
}

// The attempt started on the settings of its beginning. A split or gateway chosen meanwhile is
// shown already and must not stay a promise: it is applied now, as it would have been had it been
// chosen connected (the split without a reconnect, the gateway by a live switch). A mode or
// transport chosen meanwhile waits for the next connect, as it would have then.
void WarpController::applyChoicesMadeWhileConnecting(const StartRequest& request) {
    const SplitTunnelMode split = state().splitTunnelMode;
    if (state().runningSplit && split != *state().runningSplit) {
        tasks_.spawn(reapplySplitRouting(split));
    }
    if (gatewayFiles_->latest() != request.gatewayChoice) switchGatewayLive();
}

asio::awaitable<void> WarpController::reportFailure(std::exception_ptr failure,
                                                    const ConnectAttempt& attempt) {
    traffic_->stop();
    // Stop whatever this attempt's mode may have started; the settings go back only if this run
    // took a snapshot of them.
    auto unwind = [unwinder = ConnectionUnwinder(services_), mode = attempt.request().mode] {
        unwinder.unwind(ConnectionLedger::forAttempt(mode));
    };
    co_await awaitTeardown(runtime_.lifecyclePool(), unwind);
    // The teardown was a suspension: a cancel may own the state by now.
    if (!attempt.isCurrent()) co_return;

    connection_.ledger = {};
    const std::string description = describeError(failure, language());
    const bool usqueMissing = isMissingUsque(failure);
    state_.update([&](ControllerSnapshot& s) {
        s.phase = WarpPhase::error;
        s.detail = s.lastConnectError = description;
        // Known with the failure itself, not only once the path check started at launch (which
        // runs on its own) has come back: views that name the fix must not race it.
        if (usqueMissing) s.usqueFound = false;
    });
    clearTunStatus();
    state_.clearRunning();
    if (!state().http2 && suggestsHttp2(description)) {
        state_.setHttp2Tip(Http2TipKind::connectFailed);
    }
    refreshConflicts();
    endAttempt();
}

void WarpController::endAttempt() {
    state_.update([](ControllerSnapshot& s) { s.connecting = false; });
    connection_.attemptTask.reset();
}

}  // namespace nimbra
