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
    const DesktopProxyWrite result = co_await awaitTeardown(runtime_.lifecyclePool(), apply);
    if (!state().isConnected()) co_return;  // disconnected meanwhile: the note is stale
    // The ledger says what is really written: a failed write adds nothing for the disconnect to
    // put back (a connect's own write stays recorded, since the same snapshot restores both).
    if (result.written) connection_.ledger.proxyWritten = true;
    state_.update([&](ControllerSnapshot& s) {
        s.runningSplit = split;
        s.globalCoverageNote = result.note;
        s.proxyWriteFailedNote = result.written ? std::string() : result.note;
    });
}

}  // namespace nimbra
