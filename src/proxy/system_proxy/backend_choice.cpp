#include "proxy/system_proxy/backend_choice.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "base/text.hpp"
#include "proxy/system_proxy/gnome_backend.hpp"
#include "proxy/system_proxy/kde_backend.hpp"
#include "proxy/system_proxy/networksetup_backend.hpp"
#include "proxy/system_proxy/unsupported_backend.hpp"

namespace nimbra {
namespace {

// Desktops whose network settings panel writes org.gnome.system.proxy.
constexpr std::string_view kGnomeFamily[] = {"gnome",  "cinnamon", "x-cinnamon",
                                             "budgie", "unity",    "pantheon"};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

bool executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

// gsettings without a session bus falls back to an in-memory store: every write would "succeed"
// and change nothing.
bool sessionBusReachable() {
    if (!environment("DBUS_SESSION_BUS_ADDRESS").empty()) return true;
    const std::string runtime = environment("XDG_RUNTIME_DIR");
    std::error_code error;
    return !runtime.empty() && std::filesystem::exists(runtime + "/bus", error);
}

DesktopFacts factsOfThisMachine() {
    DesktopFacts facts;
    facts.currentDesktop = environment("XDG_CURRENT_DESKTOP");
#ifdef __APPLE__
    facts.macos = true;
#endif
    facts.gsettingsUsable =
        executable(GnomeProxyBackend::Tools{}.gsettings) && sessionBusReachable();
    return facts;
}

}  // namespace

std::string chooseProxyBackend(const DesktopFacts& facts) {
    if (facts.macos) return "networksetup";
    std::string_view desktops = facts.currentDesktop;
    while (!desktops.empty()) {
        const auto colon = desktops.find(':');
        const std::string name = text::toLowerAscii(text::trim(desktops.substr(0, colon)));
        desktops = colon == std::string_view::npos ? "" : desktops.substr(colon + 1);
        if (name == "kde") return "kde";
        for (std::string_view gnome : kGnomeFamily) {
            if (name == gnome) return "gnome";
        }
    }
    return facts.gsettingsUsable ? "gnome" : "none";
}

std::shared_ptr<ProxyBackend> proxyBackendNamed(std::string_view name, const LocalEndpoints& ours) {
    if (name == "networksetup") return std::make_shared<NetworksetupProxyBackend>();
    if (name == "gnome") return std::make_shared<GnomeProxyBackend>();
    if (name == "kde") return std::make_shared<KdeProxyBackend>();
    return std::make_shared<UnsupportedProxyBackend>(environment("XDG_CURRENT_DESKTOP"), ours);
}

std::shared_ptr<ProxyBackend> proxyBackendForThisDesktop(const LocalEndpoints& ours) {
    return proxyBackendNamed(chooseProxyBackend(factsOfThisMachine()), ours);
}

}  // namespace nimbra
