#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.hpp"

namespace nimbra::nimbrad {

// The root of the cgroup2 hierarchy, opened once and checked to be cgroup2, from which the
// cgroups a user names are looked up.
//
// The names come from an unprivileged client, so the root itself is opened without following a
// symbolic link in its last component, and a name is walked one component at a time with
// openat(O_NOFOLLOW) from that descriptor: the whole path is never handed to the kernel as a
// string, so neither a symbolic link nor a ".." can lead the walk elsewhere, and it never leaves
// the hierarchy the root was checked on.
class CgroupRoot {
public:
    static constexpr std::string_view kDefaultMountPoint = "/sys/fs/cgroup";

    // Opens `mountPoint`; never throws. When it is not a cgroup2 mount, unusable() says why.
    explicit CgroupRoot(std::string mountPoint = std::string(kDefaultMountPoint));

    // Why the root cannot be used, in one line fit for the user's eyes, or nothing.
    const std::optional<std::string>& unusable() const { return unusable_; }

    // Whether `relativePath` (no leading slash, components separated by single slashes, no "."
    // or "..") names a cgroup below the root, on the root's own file system. False for anything
    // else, for an unusable root, and for paths longer than the hierarchy's names could be.
    bool contains(std::string_view relativePath) const;

    const std::string& mountPoint() const { return mountPoint_; }

private:
    std::string mountPoint_;
    UniqueFd root_;
    std::optional<std::string> unusable_;
};

// How deep `relativePath` sits below the root: its number of components, as nftables counts
// `socket cgroupv2 level`: "user.slice" is 1, "user.slice/user-1000.slice" is 2, "" is 0.
int cgroupLevel(std::string_view relativePath);

}  // namespace nimbra::nimbrad
