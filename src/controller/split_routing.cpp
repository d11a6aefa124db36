// Changing auto <-> full split while connected in system-proxy mode: the relay's routing and
// the desktop's settings follow at once, without a reconnect; the relay's open tunnels stay.

#include "base/async/await_blocking.hpp"
#include "controller/desktop_proxy_write.hpp"
#include "controller/warp_controller.hpp"

namespace nimbra {

asio::awaitable<void> WarpController::reapplySplitRouting(SplitTunnelMode split) {
    auto apply = [services = services_, split, httpPort = prefs_.httpProxyPort(),
                  socksPort = socksPort_, lang = language()] {
        services.relay->updateRouting(httpPort, "127.0.0.1", socksPort, split, {});
        return pointDesktopAtRelay(*services.systemProxy, split, httpPort, socksPort, lang);
    };
    // Written (or attempted: a half-done write is put back by the restore all the same).
    connection_.ledger.proxyWritten = true;
    const std::string note = co_await awaitTeardown(runtime_.lifecyclePool(), apply);
    if (!state().isConnected()) co_return;  // disconnected meanwhile: the note is stale
    state_.update([&](ControllerSnapshot& s) { s.globalCoverageNote = note; });
}

}  // namespace nimbra
