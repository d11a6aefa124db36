#include "controller/desktop_proxy_write.hpp"

#include "l10n/l10n.hpp"
#include "l10n/localized_error.hpp"

namespace nimbra {
namespace {

constexpr const char* kLoopback = "127.0.0.1";

}  // namespace

DesktopProxyWrite pointDesktopAtRelay(SystemProxy& proxy, SplitTunnelMode split, int httpPort,
                                      int socksPort, AppLanguage language) {
    try {
        if (split == SplitTunnelMode::autoSplit) {
            proxy.enableAutoSplit(kLoopback, httpPort);
            return {L10n::coverageAutoSplit(language), true};
        }
        proxy.enableClashXProxies(kLoopback, httpPort, socksPort, standardBypassDomains());
        return {L10n::coverageSystemProxy(httpPort, socksPort, language), true};
    } catch (...) {
        return {L10n::coverageProxyWriteFailed(describeError(std::current_exception(), language),
                                               language),
                false};
    }
}

}  // namespace nimbra
