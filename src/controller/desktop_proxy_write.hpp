#pragma once

#include <string>

#include "model/app_language.hpp"
#include "model/split_tunnel_mode.hpp"
#include "proxy/system_proxy/system_proxy.hpp"

namespace nimbra {

// What a write of the desktop's proxy settings did: the coverage line, and whether the settings
// now point at the relay.
struct DesktopProxyWrite {
    std::string note;
    bool written = false;
};

// Points the desktop's proxy settings at the relay for `split` (the PAC script for auto, the
// relay and usque for full) and returns the coverage line. A failed write is not an error: the
// relay still serves whoever is pointed at it by hand, and the line says what went wrong.
// Blocking: run on the lifecycle pool.
DesktopProxyWrite pointDesktopAtRelay(SystemProxy& proxy, SplitTunnelMode split, int httpPort,
                                      int socksPort, AppLanguage language);

}  // namespace nimbra
