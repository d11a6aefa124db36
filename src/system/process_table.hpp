#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nimbra {

// Who listens on a local TCP port and what those processes are. The engine asks before it starts
// usque (is the SOCKS port taken, and by whom?) and when it stops one (has the port come free?).
//
// Only processes the current user may inspect are visible: without root, another user's
// listener shows up in no back-end. Implementations keep no mutable state, so one object may be
// used from several threads at once.
class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // Pids listening on the TCP port (any local address, IPv4 and IPv6), in a stable order, no
    // duplicates. Empty when nobody listens, when the port is out of range, or when the table
    // cannot be read.
    virtual std::vector<pid_t> listenerPids(int port) = 0;

    // The command line of a pid as one text (arguments joined by single spaces), "" if unknown.
    virtual std::string processArgs(pid_t pid) = 0;

    // One line picturing who listens on the port, for diagnostics: "(none)" when nobody, the
    // listing's lines joined with " | " otherwise, "(lsof failed)" when the tool cannot run.
    virtual std::string listenerSnapshot(int port) = 0;

    // The platform's table: /proc on Linux, lsof/ps elsewhere. The one place the choice is made.
    static ProcessTable& system();
};

}  // namespace nimbra
