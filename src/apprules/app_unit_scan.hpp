#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace nimbra::apprules {

// A running application's own cgroup: a systemd unit a desktop started it in.
struct AppUnit {
    std::string cgroupPath;  // relative to the cgroup2 root, without a leading slash
    std::string desktopId;   // desktopIdOfUnit of its last component
    bool operator==(const AppUnit&) const = default;
};

// "user.slice/user-<uid>.slice", where systemd keeps everything a user runs.
std::string userSlicePath(uid_t uid);
// "user.slice/user-<uid>.slice/user@<uid>.service/app.slice", where desktops that follow
// systemd's conventions start applications.
std::string userAppSlicePath(uid_t uid);

// The application units in `uid`'s slice under `cgroupRoot`, sorted by path. The walk looks at
// folders only, never follows a link, stops 8 levels below the slice and does not enter an
// application unit (its sub-cgroups are the application's). Folders that vanish while it walks
// (a unit ending) are skipped, as are folder names systemd never gives (a space, a quote, a
// backslash that is no \xNN escape), which the user can make below their own manager, and paths
// longer than nimbrad takes: one such path would make nimbrad refuse the whole route set.
std::vector<AppUnit> scanAppUnits(const std::filesystem::path& cgroupRoot, uid_t uid);

// Why per-app routing cannot work for `uid` on this machine, as one line for the panel; none
// when it can.
std::optional<std::string> appRoutingUnavailableReason(const std::filesystem::path& cgroupRoot,
                                                       uid_t uid);

}  // namespace nimbra::apprules
