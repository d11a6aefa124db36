#include "daemon/packaged_daemon.hpp"

#include <sys/stat.h>

#include <cstdlib>

namespace nimbra {
namespace {

namespace fs = std::filesystem;

// lstat: a link to a root-owned program is not the package's file, whatever it points to.
bool isRootsAlone(const fs::path& file) {
    struct stat info {};
    return ::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == 0 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

fs::path packagePrefix() {
    const char* overridden = std::getenv("NIMBRA_PACKAGE_PREFIX");
    return overridden != nullptr && *overridden == '/' ? fs::path(overridden) : fs::path("/usr");
}

}  // namespace

std::optional<PackagedDaemon> PackagedDaemon::find(const fs::path& ownDirectory) {
    const fs::path prefix = packagePrefix();
    if (ownDirectory.lexically_normal() != (prefix / "bin").lexically_normal()) return std::nullopt;
    const fs::path libexec = prefix / "libexec" / "nimbra";
    PackagedDaemon packaged{libexec / kPackagedDaemonName, libexec / kDaemonHelperName};
    if (!isRootsAlone(packaged.nimbrad) || !isRootsAlone(packaged.helper)) return std::nullopt;
    return packaged;
}

}  // namespace nimbra
