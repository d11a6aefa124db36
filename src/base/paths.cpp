#include "base/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <vector>

namespace nimbra::paths {
namespace {

// XDG base directory rules: a relative path in one of these variables is invalid and ignored,
// never resolved against whatever the current directory happens to be.
std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    std::filesystem::path path(value);
    if (!path.is_absolute()) return std::nullopt;
    return path;
}

// getpwuid_r rather than getpwuid: the latter's static buffer is shared by every thread.
std::filesystem::path homeFromPasswordDatabase() {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) ==
           ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || *found->pw_dir == '\0') {
        throw std::runtime_error(
            "cannot determine the home directory: $HOME is unset and the user has no password "
            "entry");
    }
    return found->pw_dir;
}

}  // namespace

std::filesystem::path homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    return homeFromPasswordDatabase();
}

std::filesystem::path configHome() {
    if (auto fromEnvironment = absoluteFromEnvironment("XDG_CONFIG_HOME")) return *fromEnvironment;
    return homeDirectory() / ".config";
}

std::filesystem::path dataHome() {
    if (auto fromEnvironment = absoluteFromEnvironment("XDG_DATA_HOME")) return *fromEnvironment;
    return homeDirectory() / ".local" / "share";
}

std::filesystem::path runtimeDirectory() {
    if (auto fromEnvironment = absoluteFromEnvironment("XDG_RUNTIME_DIR")) return *fromEnvironment;
    // temp_directory_path() honours $TMPDIR but throws if that is not a directory; a runtime
    // directory lookup is no reason to fail.
    std::error_code error;
    auto temp = std::filesystem::temp_directory_path(error);
    return error ? std::filesystem::path("/tmp") : temp;
}

std::filesystem::path workDirectory() {
    return dataHome() / "Nimbra";
}

std::filesystem::path executableDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

}  // namespace nimbra::paths
