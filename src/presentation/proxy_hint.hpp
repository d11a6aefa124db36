#pragma once

#include <string>

#include "controller/controller_snapshot.hpp"
#include "system/platform_profile.hpp"

namespace nimbra::presentation {

// The copyable line that tells other programs where to send their traffic in the chosen mode:
// "socks5h://127.0.0.1:<socks>", "HTTP :<http> · SOCKS :<socks>", or "TUN · SOCKS :<socks> via
// <device>", the device named as the platform profile says. The ports are the stored
// preferences (AppPreferences::httpProxyPort and socksPort), which the snapshot does not carry.
std::string proxyHint(const ControllerSnapshot& snapshot, int httpPort, int socksPort,
                      const PlatformProfile& profile);

}  // namespace nimbra::presentation
