// The step every usque-carried mode shares: engine start, exit check, and the HTTP/2 retries.
// A QUIC attempt gets at most two more attempts, both on HTTP/2: one after a failed probe or a
// failed start, and one more when that retry itself fails for a reason HTTP/2 may cure. The
// user's own HTTP/2 choice turns every retry off.

#include "base/async/await_blocking.hpp"
#include "base/async/cancellation.hpp"
#include "controller/connect_error.hpp"
#include "controller/connection_unwinder.hpp"
#include "controller/mode_starter.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

// Our own verdicts (the exit is not WARP, the time is up) are final; an engine or relay failure
// may be a QUIC problem that HTTP/2 gets around.
bool mayPassOnHttp2(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ConnectError&) {
        return false;
    } catch (...) {
        return true;
    }
}

std::string probeFailureText(const TraceProbe& probe, AppLanguage language) {
    if (probe.fetched) {
        return L10n::tunnelNotViaWarp(probe.loc, probe.colo, probe.warp, probe.ip, language);
    }
    return probe.error.value_or(L10n::warpExitProbeFailed(language));
}

StartRequest retryOnHttp2(StartRequest request) {
    request.preferHttp2 = true;
    request.allowHttp2Retry = false;
    return request;
}

asio::awaitable<StartOutcome> startOnce(StartContext& context, const StartRequest& request,
                                        const ModeStarter& mode, ConnectionLedger& started) {
    ConnectAttempt& attempt = context.attempt;
    attempt.showDetail(L10n::startingSocks(request.preferHttp2, attempt.language()));
    const auto engine = context.services.engine;
    const bool http2 = request.preferHttp2;
    auto prepare = [engine] { engine->ensureReady(); };
    co_await awaitBlocking(context.lifecycle, prepare);
    auto launch = [engine, http2] { engine->startSocks(http2); };
    co_await awaitBlocking(context.lifecycle, launch);

    attempt.showDetail(L10n::probingExit(attempt.language()));
    auto probeExit = [diagnostics = context.services.diagnostics, port = request.socksPort] {
        return diagnostics->exitViaSocks(port);
    };
    TraceProbe probe = co_await awaitBlocking(context.lifecycle, probeExit);
    if (!probe.ok()) {
        // A usque that came up but does not reach WARP must free the port before the next try;
        // the engine's stop also ends any other usque listening there.
        auto clearPort = [engine] { engine->stop(); };
        co_await awaitTeardown(context.lifecycle, clearPort);
        if (request.allowHttp2Retry) {
            attempt.showDetail(L10n::retryingAfterProbe(attempt.language()));
            co_return co_await startWithHttp2Retry(context, retryOnHttp2(request), mode);
        }
        throw ConnectError::probeFailed(probeFailureText(probe, attempt.language()));
    }
    co_return co_await mode.finish(context, request, std::move(probe), started);
}

}  // namespace

asio::awaitable<StartOutcome> startWithHttp2Retry(StartContext& context, StartRequest request,
                                                  const ModeStarter& mode) {
    co_await throwIfCancelled();
    context.attempt.show([](ControllerSnapshot& s) { s.phase = WarpPhase::startingEngine; });

    ConnectionLedger started{.engine = true};
    std::exception_ptr failure;
    try {
        co_return co_await startOnce(context, request, mode, started);
    } catch (...) {
        failure = std::current_exception();
    }

    // Whatever this attempt brought up goes down before anything else happens.
    auto unwind = [unwinder = ConnectionUnwinder(context.services), started] {
        unwinder.unwind(started);
    };
    co_await awaitTeardown(context.lifecycle, unwind);
    // A start that a cancel's engine stop cut short fails with the engine's own error: the
    // cancellation is what happened.
    const bool cancelled = co_await isCancelled();
    if (cancelled || isCancellation(failure)) throw cancellationError();
    if (request.allowHttp2Retry && mayPassOnHttp2(failure)) {
        context.attempt.showDetail(L10n::retryingAfterStart(context.attempt.language()));
        co_return co_await startWithHttp2Retry(context, retryOnHttp2(request), mode);
    }
    std::rethrow_exception(failure);
}

}  // namespace nimbra
