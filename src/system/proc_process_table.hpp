#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/process_table.hpp"

namespace nimbra {

// The pieces of /proc the Linux table reads, as pure functions over the files' text so they can
// be checked against hand-written content.
namespace procfs {

// One listening socket from /proc/net/tcp or /proc/net/tcp6.
struct TcpListener {
    std::uint64_t inode = 0;
    std::string address;  // printable: "127.0.0.1", "::1"
    int port = 0;

    bool operator==(const TcpListener&) const = default;
};

// The LISTEN rows (state 0A) of a /proc/net/tcp or tcp6 table whose local port is `port`, in
// table order. The header and malformed rows are skipped.
std::vector<TcpListener> parseTcpListeners(std::string_view table, int port);

// The kernel's hex form of an address, as printed in those tables: 8 digits for IPv4, 32 for
// IPv6 (four 32-bit words). Each 32-bit word is the address's bytes read as a little-endian
// number. nullopt when malformed.
std::optional<std::string> decodeHexAddress(std::string_view hex);

// The inode in an fd link target "socket:[12345]"; nullopt for anything else.
std::optional<std::uint64_t> socketInode(std::string_view linkTarget);

// /proc/<pid>/cmdline (NUL-terminated arguments) as one line, arguments joined by spaces.
std::string joinCmdline(std::string_view cmdline);

}  // namespace procfs

// The Linux table: reads /proc directly, so neither lsof nor ps needs to be installed.
//
// Sockets come from <root>/net/tcp and <root>/net/tcp6; their owners from the fd links under
// <root>/<pid>/fd. Process directories we may not read (other users' processes, without root)
// and processes that exit during the scan are skipped silently.
class ProcProcessTable final : public ProcessTable {
public:
    explicit ProcProcessTable(std::filesystem::path procRoot = "/proc");

    std::vector<pid_t> listenerPids(int port) override;
    std::string processArgs(pid_t pid) override;
    // One entry "<comm> <pid> <ip>:<port>" per owner and address. A listening socket whose
    // owner cannot be seen still shows, as "? ? <ip>:<port>": the port is taken after all.
    std::string listenerSnapshot(int port) override;

private:
    struct Owned {
        procfs::TcpListener socket;
        std::vector<pid_t> pids;  // ascending; empty when the owner is not visible to us
    };

    std::vector<procfs::TcpListener> listeners(int port) const;
    std::vector<Owned> ownedListeners(int port) const;
    std::string comm(pid_t pid) const;

    std::filesystem::path root_;
};

}  // namespace nimbra
