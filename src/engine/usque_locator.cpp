#include "engine/usque_locator.hpp"

#include <unistd.h>

#include "base/paths.hpp"
#include "engine/usque_error.hpp"
#include "system/platform_profile.hpp"
#include "system/process_control.hpp"

namespace nimbra::usque_locator {
namespace {

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::filesystem::path> candidates() {
    std::vector<std::filesystem::path> list;
    // Shipped with the client: beside the executable, or in <prefix>/libexec/nimbra/.
    const auto executableDir = paths::executableDirectory();
    if (!executableDir.empty()) {
        list.push_back(executableDir / "usque");
        list.push_back(executableDir.parent_path() / "libexec" / "nimbra" / "usque");
    }
    const auto home = paths::homeDirectory();
    if (!home.empty()) list.push_back(home / ".local" / "bin" / "usque");
    for (const auto& location : PlatformProfile::current().usqueInstallLocations) {
        list.emplace_back(location);
    }
    // A development copy next to the working directory.
    std::error_code error;
    const auto cwd = std::filesystem::current_path(error);
    if (!error) {
        if (isExecutableFile(cwd / "vendor" / "usque")) {
            list.push_back(cwd / "vendor" / "usque");
        } else if (isExecutableFile(cwd / "macos" / "vendor" / "usque")) {
            list.push_back(cwd / "macos" / "vendor" / "usque");
        }
    }
    return list;
}

std::filesystem::path resolve() {
    if (auto found = process_control::which("usque"); found && isExecutableFile(*found)) {
        return *found;
    }
    for (const auto& candidate : candidates()) {
        if (isExecutableFile(candidate)) return candidate;
    }
    throw UsqueError(UsqueError::BinaryMissing{});
}

}  // namespace nimbra::usque_locator
