#include "apprules/isolated_profile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "apprules/app_launch_error.hpp"
#include "base/paths.hpp"
#include "base/unique_fd.hpp"

namespace nimbra::apprules {
namespace {

constexpr mode_t kPrivate = 0700;

std::filesystem::path absoluteFromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return {};
    return value;
}

// The user's own folder the profile lives under; created when it is the cache one and missing.
std::filesystem::path baseFolder() {
    if (auto runtime = absoluteFromEnv("XDG_RUNTIME_DIR"); !runtime.empty()) return runtime;
    auto cache = absoluteFromEnv("XDG_CACHE_HOME");
    if (cache.empty()) cache = paths::homeDirectory() / ".cache";
    std::error_code ignored;
    std::filesystem::create_directories(cache, ignored);
    return cache;
}

[[noreturn]] void refuse(const std::filesystem::path& path) {
    throw AppLaunchError(AppLaunchError::Kind::profileRefused, path.string());
}

// Creates (or opens) `name` below `parent` without following a link, and accepts it only as a
// folder of ours that nobody else may enter.
UniqueFd openPrivateFolder(int parent, const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    const bool created = ::mkdirat(parent, name.c_str(), kPrivate) == 0;
    if (!created && errno != EEXIST) refuse(path);
    UniqueFd folder(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) refuse(path);
    // A restrictive umask may have taken bits from a folder we just made; that one is ours.
    if (created && ::fchmod(folder.get(), kPrivate) != 0) refuse(path);
    struct stat info {};
    if (::fstat(folder.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 07777) != kPrivate) {
        refuse(path);
    }
    return folder;
}

}  // namespace

std::filesystem::path ensureIsolatedProfile() {
    const auto base = baseFolder();
    UniqueFd parent(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid()) refuse(base);
    std::filesystem::path path = base;
    for (const char* level : {"nimbra", "isolated-profile"}) {
        path /= level;
        parent = openPrivateFolder(parent.get(), path);
    }
    return path;
}

}  // namespace nimbra::apprules
