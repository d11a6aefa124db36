// The real TUN start, step by step. Every daemon exchange of the attempt goes through its gate
// (see DaemonGate), so a cancel's "stop" is the last thing nimbrad hears from it.

#include "controller/real_tun_starter.hpp"

#include "base/async/await_blocking.hpp"
#include "base/async/cancellation.hpp"
#include "controller/connect_error.hpp"
#include "l10n/l10n.hpp"
#include "l10n/localized_error.hpp"

namespace nimbra {
namespace {

bool nonEmpty(const std::optional<std::string>& text) {
    return text.has_value() && !text->empty();
}

// Why a direct probe failed: what the trace said when one came back, else the probe's error.
std::string directProbeReason(const TraceProbe& probe) {
    if (probe.fetched) return "loc=" + probe.loc + " warp=" + probe.warp + " ip=" + probe.ip;
    return probe.error.value_or("probe failed");
}

class RealTunStarter {
public:
    explicit RealTunStarter(StartContext& context)
        : context_(context),
          attempt_(context.attempt),
          daemon_(context.services.daemon),
          gate_(context.daemonGate) {}

    asio::awaitable<StartOutcome> start(StartRequest request) {
        co_await throwIfCancelled();
        attempt_.show([lang = attempt_.language()](ControllerSnapshot& s) {
            s.phase = WarpPhase::startingEngine;
            s.detail = L10n::checkingUsqueConfig(lang);
        });
        // The daemon runs usque from the user's registration: without it nothing can start.
        auto prepare = [engine = context_.services.engine] { engine->ensureReady(); };
        co_await awaitBlocking(context_.lifecycle, prepare);
        auto ping = [daemon = daemon_] { return daemon->isReachable(); };
        const bool reachable = co_await awaitBlocking(context_.lifecycle, ping);
        // Shown before the administrator prompt appears, so the user knows why it asks.
        const AppLanguage lang = attempt_.language();
        attempt_.show([&](ControllerSnapshot& s) {
            s.daemonReachable = reachable;
            s.detail = reachable ? L10n::startingRealTun(lang) : L10n::installingDaemon(lang);
        });

        started_.daemonTun = true;  // from here on "start" may have reached the daemon
        std::exception_ptr failure;
        try {
            co_await bringUpDaemon(request);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) co_return co_await retryOrGiveUp(request, failure);

        try {
            co_return co_await verifyAndFinish(request);
        } catch (...) {
            failure = std::current_exception();
        }
        co_await unwindStarted();
        const bool cancelled = co_await isCancelled();
        if (cancelled || isCancellation(failure)) throw cancellationError();
        std::rethrow_exception(failure);
    }

private:
    // The configuration, the installation, the DNS choice, then "start" and the readiness wait.
    asio::awaitable<void> bringUpDaemon(const StartRequest& request) {
        co_await throwIfCancelled();
        auto prepareDaemon = [daemon = daemon_, http2 = request.preferHttp2] {
            daemon->syncPreferences(http2);
            daemon->ensureInstalled();
        };
        co_await awaitBlocking(context_.lifecycle, prepareDaemon);

        // A DNS choice the daemon refuses is shown but does not stop the tunnel.
        auto setDns = [daemon = daemon_, gate = gate_,
                       lang = attempt_.language()]() -> std::optional<std::string> {
            try {
                gate->run([&] { daemon->setDNS(DaemonDnsChoice::stored(daemon->preferences())); });
                return std::nullopt;
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                if (isCancellation(error)) throw;
                return describeError(error, lang);
            }
        };
        const std::optional<std::string> dnsRefused =
            co_await awaitBlocking(context_.lifecycle, setDns);
        if (dnsRefused) {
            attempt_.show([&](ControllerSnapshot& s) { s.dnsWarning = *dnsRefused; });
        }

        auto startTun = [daemon = daemon_, gate = gate_, timings = context_.timings] {
            gate->run([&] {
                daemon->command("start", {}, "start failed");
                // Our own addition to the wait: it ends at its next poll once the attempt is
                // abandoned, instead of polling on for the rest of its time.
                const DaemonClient::ReadyWait wait{
                    .poll = timings.daemonReadyPoll,
                    .replyBudget = DaemonClient::kReplyBudget,
                    .cancelled = [&gate] { return gate->cancelled(); },
                };
                daemon->waitUntilReady(timings.daemonReadiness, wait);
            });
        };
        co_await awaitBlocking(context_.lifecycle, startTun);
    }

    // A daemon that did not come up: stopped, then on QUIC one more try on HTTP/2.
    asio::awaitable<StartOutcome> retryOrGiveUp(StartRequest request, std::exception_ptr failure) {
        co_await sendStop();
        started_.daemonTun = false;
        const bool cancelled = co_await isCancelled();
        if (cancelled || isCancellation(failure)) throw cancellationError();
        if (!request.allowHttp2Retry) std::rethrow_exception(failure);

        const bool http2 = !request.preferHttp2;
        if (attempt_.isCurrent() && context_.storeHttp2) context_.storeHttp2(http2);
        auto sync = [daemon = daemon_, http2] { daemon->syncPreferences(http2); };
        co_await awaitBlocking(context_.lifecycle, sync);
        attempt_.showDetail(L10n::retryingRealTunOnHttp2(attempt_.language()));
        request.preferHttp2 = http2;
        request.allowHttp2Retry = false;
        co_return co_await start(request);
    }

    // The tunnel is up: does a plain request leave through WARP? Then the compatibility gateway.
    asio::awaitable<StartOutcome> verifyAndFinish(const StartRequest& request) {
        auto readStatus = [daemon = daemon_, gate = gate_] {
            return gate->run([&] { return daemon->status(); });
        };
        const std::optional<DaemonClient::Status> status =
            co_await awaitBlocking(context_.lifecycle, readStatus);
        const std::string storedMode = daemon_->preferences().daemonDNSMode();
        attempt_.show([&](ControllerSnapshot& s) {
            if (status && nonEmpty(status->dnsErr)) {
                s.dnsWarning = *status->dnsErr;
            } else {
                s.dnsModeLive = storedMode;
            }
        });

        attempt_.showDetail(L10n::verifyingRealTun(attempt_.language()));
        auto probeDirect = [diagnostics = context_.services.diagnostics] {
            try {
                return diagnostics->exitDirect();
            } catch (const std::exception& error) {
                return TraceProbe::failed(error.what());
            }
        };
        TraceProbe probe = co_await awaitBlocking(context_.lifecycle, probeDirect);
        if (!probe.ok()) {
            // No transport retry: the tunnel is up, it just does not carry this machine's traffic.
            throw ConnectError::probeFailed(
                L10n::tunProbeFailed(directProbeReason(probe), attempt_.language()));
        }

        const std::optional<DaemonClient::Status> fresh =
            co_await awaitBlocking(context_.lifecycle, readStatus);
        const std::string dnsMode =
            fresh && nonEmpty(fresh->dnsMode) ? *fresh->dnsMode : storedMode;
        const int port = request.socksPort;
        started_.socksGateway = true;  // a start that returns just as a cancel arrives still counts
        auto startGateway = [gateway = context_.services.socksGateway, port,
                             lang = attempt_.language()]() -> std::optional<std::string> {
            try {
                gateway->start(port);
                return std::nullopt;
            } catch (...) {
                return describeError(std::current_exception(), lang);
            }
        };
        const std::optional<std::string> gatewayFailed =
            co_await awaitBlocking(context_.lifecycle, startGateway);
        const AppLanguage lang = attempt_.language();
        std::string note = L10n::coverageRealTun(dnsMode, lang) + " · ";
        if (gatewayFailed) {
            // Not fatal: the TUN carries everything; only apps pointed at the SOCKS port miss out.
            started_.socksGateway = false;
            note += L10n::coverageTunSocksCompatFailed(*gatewayFailed, lang);
            attempt_.show([&](ControllerSnapshot& s) { s.dnsWarning = *gatewayFailed; });
        } else {
            note += L10n::coverageTunSocksCompat(port, lang);
        }
        co_return StartOutcome{
            .probe = std::move(probe),
            .coverageNote = std::move(note),
            .started = started_,
            .autoEnabledHttp2 = request.preferHttp2 && !request.userRequestedHttp2,
        };
    }

    asio::awaitable<void> sendStop() {
        auto stop = [daemon = daemon_, gate = gate_] {
            try {
                gate->run([&] { daemon->stop(); });
            } catch (const std::exception&) {
                // Refused by a closed gate: the cancel's own "stop" has the last word.
            }
        };
        co_await awaitTeardown(context_.lifecycle, stop);
    }

    asio::awaitable<void> unwindStarted() {
        if (started_.daemonTun) co_await sendStop();
        if (started_.socksGateway) {
            auto stopGateway = [gateway = context_.services.socksGateway] { gateway->stop(); };
            co_await awaitTeardown(context_.lifecycle, stopGateway);
        }
        started_ = {};
    }

    StartContext& context_;
    ConnectAttempt& attempt_;
    std::shared_ptr<DaemonService> daemon_;
    std::shared_ptr<DaemonGate> gate_;
    ConnectionLedger started_;
};

}  // namespace

asio::awaitable<StartOutcome> startRealTun(StartContext& context, StartRequest request) {
    RealTunStarter starter(context);
    co_return co_await starter.start(request);
}

}  // namespace nimbra
