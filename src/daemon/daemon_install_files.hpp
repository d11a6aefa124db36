#pragma once

#include <filesystem>

namespace nimbra {

// The user's files that the installed daemon is pointed at.
struct DaemonFiles {
    std::filesystem::path directory;     // the daemon directory, under the work directory
    std::filesystem::path config;        // its config.yml
    std::filesystem::path log;           // its nimbrad.log
    std::filesystem::path registration;  // usque's config.json beside the daemon directory

    // The files inside one user's work directory (the Nimbra data directory).
    static DaemonFiles in(const std::filesystem::path& workDirectory) {
        const auto directory = workDirectory / "daemon";
        return {directory, directory / "config.yml", directory / "nimbrad.log",
                workDirectory / "config.json"};
    }
};

}  // namespace nimbra
