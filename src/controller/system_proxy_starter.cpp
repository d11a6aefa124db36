// System-proxy mode on top of a working engine: the HTTP relay (which also serves the PAC
// script), then the desktop's proxy settings pointed at it.

#include "base/async/await_blocking.hpp"
#include "base/async/cancellation.hpp"
#include "controller/desktop_proxy_write.hpp"
#include "controller/mode_starter.hpp"
#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

constexpr const char* kLoopback = "127.0.0.1";

}  // namespace

asio::awaitable<StartOutcome> SystemProxyStarter::finish(StartContext& context,
                                                         const StartRequest& request,
                                                         TraceProbe probe,
                                                         ConnectionLedger& started) const {
    ConnectAttempt& attempt = context.attempt;
    attempt.showDetail(L10n::startingHttpGateway(attempt.language()));
    co_await throwIfCancelled();
    // Recorded before the start: stopping a relay that never listened is harmless, missing one
    // that did (the start returned just as a cancel arrived) is not.
    started.relay = true;
    auto startRelay = [relay = context.services.relay, request] {
        relay->start(request.httpPort, kLoopback, request.socksPort, request.splitMode, {});
    };
    co_await awaitBlocking(context.lifecycle, startRelay);

    attempt.showDetail(L10n::applyingSystemProxy(attempt.language()));
    // The same for the settings: a write that failed half-way may have changed some of them,
    // and the restore puts back the snapshot taken before the first change.
    started.proxyWritten = true;
    auto write = [proxy = context.services.systemProxy, request, lang = attempt.language()] {
        return pointDesktopAtRelay(*proxy, request.splitMode, request.httpPort, request.socksPort,
                                   lang);
    };
    DesktopProxyWrite written = co_await awaitTeardown(context.lifecycle, write);
    if (!written.written) {
        attempt.show([&](ControllerSnapshot& s) { s.proxyWriteFailedNote = written.note; });
    }
    co_await throwIfCancelled();
    co_return StartOutcome{
        .probe = std::move(probe),
        .coverageNote = std::move(written.note),
        .started = started,
        .autoEnabledHttp2 = request.preferHttp2 && !request.userRequestedHttp2,
    };
}

}  // namespace nimbra
