#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace nimbra::nimbrad {

// What the daemon is told on its command line.
struct DaemonSettings {
    std::filesystem::path configFile;        // config.yml, in the user's folder
    std::filesystem::path registrationFile;  // usque's registration, in the user's folder
    std::filesystem::path socketPath = "/run/nimbra.sock";
    std::string listen = "127.0.0.1:53";  // the DNS forwarder
    std::filesystem::path logFile;
    // Users who may send every command. The first is the user whose files (config.yml, the
    // registration, the log) nimbrad reads and writes, with that user's rights; with none, or
    // with root first, it touches no user file at all.
    std::vector<uid_t> allowedUids;
    // The root-owned copy of usque that the installer places beside the daemon.
    std::filesystem::path usqueProgram = "/usr/local/libexec/nimbra-usque";
    std::filesystem::path stateDirectory = "/var/lib/nimbrad";
    std::filesystem::path resolvConf = "/etc/resolv.conf";
    std::string tunnelDevice = "nimbra0";
};

}  // namespace nimbra::nimbrad
