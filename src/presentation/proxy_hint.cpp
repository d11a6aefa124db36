#include "presentation/proxy_hint.hpp"

namespace nimbra::presentation {

std::string proxyHint(const ControllerSnapshot& snapshot, int httpPort, int socksPort,
                      const PlatformProfile& profile) {
    const std::string socks = std::to_string(socksPort);
    switch (snapshot.connectionMode) {
        case ConnectionMode::socks:
            return "socks5h://127.0.0.1:" + socks;
        case ConnectionMode::globalTun:
            return "HTTP :" + std::to_string(httpPort) + " · SOCKS :" + socks;
        case ConnectionMode::realTun:
            break;
    }
    const bool reported = profile.hintNamesReportedTunnelDevice && !snapshot.tunIface.empty();
    return "TUN · SOCKS :" + socks + " via " +
           (reported ? snapshot.tunIface : profile.hintTunnelDevice);
}

}  // namespace nimbra::presentation
