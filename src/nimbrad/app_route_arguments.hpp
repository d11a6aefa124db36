#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "nimbrad/app_route_set.hpp"

namespace nimbra::nimbrad {

// The arguments of "app_routes", as the client sends them:
//   ["off"]                      per-app routing removed;
//   ["<default>", "<entries>"]   `default` is proxy or direct; `entries` is "" or
//                                `<target>:<path>` items separated by single spaces, `target`
//                                proxy or direct, `path` a cgroup relative to the cgroup2 root.
//
// The paths end up in nftables rules that root applies, and they choose whose traffic leaves
// outside the tunnel, so they are held to what systemd itself writes: components of
// [A-Za-z0-9._@:-] and \xNN escapes, nothing that could end a quoted nft string or climb out
// of a folder, and only inside the asking user's own slice, user.slice/user-<uid>.slice/.
// Root may name any user's slice.

inline constexpr std::size_t kMaxAppRoutes = 512;
inline constexpr std::size_t kMaxAppRoutePathBytes = 1024;
inline constexpr std::size_t kMaxAppRouteComponentBytes = 255;
inline constexpr std::size_t kMaxAppRouteComponents = 16;

// Whether the arguments ask for per-app routing to be removed.
bool isAppRoutesOff(const std::vector<std::string>& args);

// Why `peerUid` may not ask for these arguments, in one short line, or nothing when they may go
// ahead ("off" included).
std::optional<std::string> refuseAppRoutes(const std::vector<std::string>& args, uid_t peerUid);

// The set the arguments ask for. Only for arguments that refuseAppRoutes let through and that
// are not "off".
AppRouteSet readAppRoutes(const std::vector<std::string>& args);

}  // namespace nimbra::nimbrad
