#include "nimbrad/cgroup_root.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nimbra::nimbrad {
namespace {

constexpr int kOpenFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_PATH;
// Bounds on the walk, well past what systemd nests and names.
constexpr std::size_t kMaxPathBytes = 4096;
constexpr int kMaxDepth = 64;

bool isCgroup2(int fd) {
    struct statfs fileSystem {};
    return ::fstatfs(fd, &fileSystem) == 0 && fileSystem.f_type == CGROUP2_SUPER_MAGIC;
}

std::optional<dev_t> deviceOf(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return std::nullopt;
    return status.st_dev;
}

}  // namespace

CgroupRoot::CgroupRoot(std::string mountPoint) : mountPoint_(std::move(mountPoint)) {
    root_.reset(::open(mountPoint_.c_str(), kOpenFlags));
    if (!root_.valid() && errno != ENOENT && errno != ENOTDIR) {
        unusable_ = "cannot open " + mountPoint_ + ": " + std::strerror(errno);
    } else if (!root_.valid() || !isCgroup2(root_.get())) {
        // Cgroup v1 alone, or v2 only beside it (as /sys/fs/cgroup/unified): what nftables
        // matches on is not where it looks for it.
        unusable_ = "cgroup2 is not mounted at " + mountPoint_;
        root_.reset();
    }
}

bool CgroupRoot::contains(std::string_view relativePath) const {
    if (!root_.valid() || relativePath.empty() || relativePath.size() > kMaxPathBytes) return false;
    if (cgroupLevel(relativePath) > kMaxDepth) return false;
    const auto rootDevice = deviceOf(root_.get());
    UniqueFd current;
    for (;;) {
        const auto slash = relativePath.find('/');
        const std::string component(relativePath.substr(0, slash));
        // A NUL would end the name early, opening a different folder than the one asked for.
        if (component.empty() || component == "." || component == ".." ||
            component.find('\0') != std::string::npos) {
            return false;
        }
        const int parent = current.valid() ? current.get() : root_.get();
        current.reset(::openat(parent, component.c_str(), kOpenFlags));
        // Something mounted below the root is not part of the hierarchy checked at the start.
        if (!current.valid() || !rootDevice || deviceOf(current.get()) != rootDevice) return false;
        if (slash == std::string_view::npos) return true;
        relativePath.remove_prefix(slash + 1);
    }
}

int cgroupLevel(std::string_view relativePath) {
    if (relativePath.empty()) return 0;
    return static_cast<int>(std::count(relativePath.begin(), relativePath.end(), '/')) + 1;
}

}  // namespace nimbra::nimbrad
