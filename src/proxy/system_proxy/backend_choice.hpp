#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "proxy/system_proxy/proxy_backend.hpp"

namespace nimbra {

// The one place that decides which settings store this desktop uses.
//
// macOS: networksetup. Elsewhere XDG_CURRENT_DESKTOP first (a colon-separated list: KDE means
// kioslaverc; GNOME, Cinnamon, Budgie, Unity and Pantheon read org.gnome.system.proxy), then
// what is installed: gsettings with a session bus to write through. Without either, the
// "none" back-end, whose applies explain how to point applications at the proxies by hand.
std::shared_ptr<ProxyBackend> proxyBackendForThisDesktop(const LocalEndpoints& ours);

// The back-end of that name ("networksetup", "gnome", "kde", "none"), with the real tools; the
// "none" back-end for a name we do not know.
std::shared_ptr<ProxyBackend> proxyBackendNamed(std::string_view name, const LocalEndpoints& ours);

// The choice itself, from the desktop's name and what the machine offers (for tests).
struct DesktopFacts {
    std::string currentDesktop;  // XDG_CURRENT_DESKTOP
    bool macos = false;
    bool gsettingsUsable = false;  // gsettings installed and a session bus to write through
};
std::string chooseProxyBackend(const DesktopFacts& facts);

}  // namespace nimbra
