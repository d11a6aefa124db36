#include "daemon/service_sandbox.hpp"

#include <algorithm>
#include <array>

namespace nimbra::service_sandbox {

namespace fs = std::filesystem;

// Found by reading what the daemon and usque call, not by trial:
//  - not CAP_KILL: usque runs as root like the daemon, and the same user may signal it;
//  - not CAP_DAC_OVERRIDE / CAP_DAC_READ_SEARCH / CAP_FOWNER: the files written as root (state
//    folder, socket, resolver file) are root's own, and the user's files are reached with the
//    user's identity (setfsuid), which sets those capabilities aside anyway;
//  - not CAP_CHOWN: the resolver file is written, and put back, as root's own (root may give
//    its own file to root:root without it); a resolver file that belonged to someone else could
//    not get its owner back, and its restore fails loudly instead;
//  - not CAP_SYS_ADMIN: no mounts, no namespaces, no setns; usque's MASQUE socket buffers use
//    SO_RCVBUFFORCE, which CAP_NET_ADMIN covers;
//  - not CAP_NET_RAW: no raw or packet sockets, and no SO_BINDTODEVICE (the routes keep the
//    tunnel's own traffic off the tunnel).
constexpr std::array kCapabilities = {
    Capability{"CAP_NET_ADMIN",
               "routes and rules over netlink; usque creates and configures its TUN device; "
               "systemd-resolved takes per-link DNS from a caller holding it (resolvectl)"},
    Capability{"CAP_NET_BIND_SERVICE", "the DNS forwarder listens on port 53"},
    Capability{"CAP_SETGID", "setfsgid: the user's files are reached with the user's group"},
    Capability{"CAP_SETUID", "setfsuid: the user's files are reached with the user's rights"},
};

std::span<const Capability> capabilities() {
    return kCapabilities;
}

std::vector<fs::path> writableFolders(const Places& places) {
    std::vector<fs::path> folders;
    for (const fs::path& folder : {places.socket.parent_path(), places.resolverFile.parent_path(),
                                   places.stateDirectory, places.userFolder}) {
        const fs::path normal = folder.lexically_normal();
        if (std::find(folders.begin(), folders.end(), normal) == folders.end())
            folders.push_back(normal);
    }
    return folders;
}

std::vector<fs::path> writableKernelSettings() {
    // Strict reverse-path filtering judges a direct application's replies by their mark only
    // with this on (see nimbrad's per-app table).
    return {"/proc/sys/net/ipv4/conf/all/src_valid_mark"};
}

}  // namespace nimbra::service_sandbox
