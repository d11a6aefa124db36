#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nimbra::nimbrad {

// Where an application's traffic goes while the tunnel carries the machine.
enum class AppRouteTarget { proxy, direct };

// One application's cgroup and its target. `path` is relative to the cgroup2 root, without a
// leading slash, e.g.
// "user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox-42.scope"; every process in
// it (and in the cgroups below it) follows `target`.
struct AppRoute {
    std::string path;
    AppRouteTarget target = AppRouteTarget::proxy;
    bool operator==(const AppRoute&) const = default;
};

// What the client asks for: the target of everything not listed, and the listed cgroups.
struct AppRouteSet {
    AppRouteTarget defaultTarget = AppRouteTarget::proxy;
    std::vector<AppRoute> routes;
    bool operator==(const AppRouteSet&) const = default;
};

// Packet marks of per-app routing. A "direct" application's packets carry kDirectMark and a
// rule sends them to the main table ahead of the tunnel's catch-all; with "direct" as the
// default, only packets that carry kProxyMark are sent into the tunnel. Both are far from the
// small marks other tools use (WireGuard's 0xca6c, firewalls' single bits).
inline constexpr std::uint32_t kDirectMark = 0x6e620001;
inline constexpr std::uint32_t kProxyMark = 0x6e620002;

}  // namespace nimbra::nimbrad
