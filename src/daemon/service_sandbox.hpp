#pragma once

#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

// What the installed nimbrad may still do once its service confines it: the one list of
// capabilities it keeps, and the folders it may write. The systemd unit is generated from these,
// and the end-to-end tests run the daemon under the same capabilities and the same writable
// folders, so the unit cannot drift from what the daemon has been seen to work with.
namespace nimbra::service_sandbox {

struct Capability {
    std::string_view name;  // as systemd and capabilities(7) spell it: "CAP_NET_ADMIN"
    std::string_view use;   // what needs it
};

// Every capability nimbrad and the usque it starts use; the bounding set holds these alone.
std::span<const Capability> capabilities();

// The places the daemon writes to.
struct Places {
    std::filesystem::path socket;          // its control socket
    std::filesystem::path stateDirectory;  // its undo journals, pid file, registration copy
    std::filesystem::path resolverFile;    // /etc/resolv.conf, replaced without systemd-resolved
    std::filesystem::path userFolder;      // the user's daemon folder: config.yml and the log
};

// The folders it writes in, each once, in the order of Places: the socket's and the resolver
// file's folders (both are replaced by rename, so the folder itself must be writable), the state
// folder and the user's daemon folder. Everything else stays read-only.
std::vector<std::filesystem::path> writableFolders(const Places& places);

// The kernel settings it changes while per-app routing is on (journalled and put back): with
// /proc/sys read-only for it, each is a file made writable on its own.
std::vector<std::filesystem::path> writableKernelSettings();

}  // namespace nimbra::service_sandbox
