#pragma once

#include <filesystem>
#include <optional>

// Nimbra installed from its package: nimbrad and the root helper that installs its service sit
// root-owned in <prefix>/libexec/nimbra, and the daemon runs from there. The helper's prompt
// then names what it authorises; a build-tree run keeps the staged script instead.
namespace nimbra {

inline constexpr const char* kPackagedLibexec = "/usr/libexec/nimbra";
inline constexpr const char* kPackagedDaemonName = "nimbrad";
inline constexpr const char* kDaemonHelperName = "nimbra-daemon-helper";

struct PackagedDaemon {
    std::filesystem::path nimbrad;
    std::filesystem::path helper;

    // The package's files when the running program is the package's own (it sits in
    // <prefix>/bin) and both files are regular files owned by root that neither group nor others
    // may write; else nullopt. The prefix is /usr, or NIMBRA_PACKAGE_PREFIX in this unprivileged
    // client (the root helper itself has fixed places).
    static std::optional<PackagedDaemon> find(const std::filesystem::path& ownDirectory);
};

}  // namespace nimbra
