#include "apprules/app_unit_scan.hpp"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <utility>

#include "apprules/app_unit_name.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;

// A desktop session nests units four levels deep (user@.service/app.slice/app-x.slice/unit);
// twice that leaves room for nesting we have not seen without walking a subtree built to be deep.
constexpr int kMaxDepth = 8;
// More cgroups than any session holds; stops a walk of a delegated subtree made to be huge.
constexpr std::size_t kMaxFolders = 20000;
// The longest path nimbrad takes in a route set; it refuses a set with a longer one whole.
constexpr std::size_t kMaxPathBytes = 1024;

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What systemd writes in unit names: letters, digits, ":_.-@" and "\xNN" escapes for any other
// byte. Anything else in a folder name was made by hand (a user may make cgroups below their
// manager), and nimbrad refuses a route set with such a path whole, so it must not be sent.
bool isUnitNameText(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '\\') {
            if (i + 3 >= name.size() || name[i + 1] != 'x' || !isHexDigit(name[i + 2]) ||
                !isHexDigit(name[i + 3])) {
                return false;
            }
            i += 3;
        } else if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == ':' || c == '_' || c == '.' || c == '-' || c == '@')) {
            return false;
        }
    }
    return true;
}

bool isFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(path, ec));
}

}  // namespace

std::string userSlicePath(uid_t uid) {
    return "user.slice/user-" + std::to_string(uid) + ".slice";
}

std::string userAppSlicePath(uid_t uid) {
    return userSlicePath(uid) + "/user@" + std::to_string(uid) + ".service/app.slice";
}

std::vector<AppUnit> scanAppUnits(const fs::path& cgroupRoot, uid_t uid) {
    std::vector<AppUnit> units;
    std::vector<std::pair<std::string, int>> pending{{userSlicePath(uid), 0}};
    std::size_t visited = 0;
    while (!pending.empty() && visited++ < kMaxFolders) {
        auto [folder, depth] = std::move(pending.back());
        pending.pop_back();
        std::error_code ec;
        // Errors (the folder went, or is not ours to read) end this folder's listing only.
        for (fs::directory_iterator it(cgroupRoot / folder, ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            std::error_code statError;
            if (!isUnitNameText(name) || !it->is_directory(statError) ||
                it->is_symlink(statError)) {
                continue;
            }
            std::string path = folder + "/" + name;
            if (path.size() > kMaxPathBytes) continue;
            if (auto id = desktopIdOfUnit(name)) {
                units.push_back({std::move(path), std::move(*id)});
            } else if (depth + 1 < kMaxDepth) {
                pending.emplace_back(std::move(path), depth + 1);
            }
        }
    }
    std::sort(units.begin(), units.end(),
              [](const AppUnit& a, const AppUnit& b) { return a.cgroupPath < b.cgroupPath; });
    return units;
}

std::optional<std::string> appRoutingUnavailableReason(const fs::path& cgroupRoot, uid_t uid) {
    // Only the cgroup2 root holds cgroup.controllers; a v1 or hybrid layout mounts a tmpfs of
    // per-controller hierarchies there, whose paths nftables cannot match sockets against.
    std::error_code ec;
    if (!fs::is_regular_file(cgroupRoot / "cgroup.controllers", ec)) {
        return "cgroup2 is not mounted at " + cgroupRoot.string();
    }
    if (!isFolder(cgroupRoot / userSlicePath(uid))) {
        return "this session's processes are not in a systemd user slice (" + userSlicePath(uid) +
               ")";
    }
    if (!isFolder(cgroupRoot / userAppSlicePath(uid))) {
        return "this desktop does not start applications in units of their own";
    }
    return std::nullopt;
}

}  // namespace nimbra::apprules
