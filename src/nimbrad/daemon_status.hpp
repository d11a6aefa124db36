#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nimbrad/app_route_set.hpp"

namespace nimbra::nimbrad {

// What "status" tells a client. `ready` becomes the status's "ok": the tunnel is up, connected
// and routed, so a client waiting for it may stop waiting.
struct DaemonStatus {
    bool ready = false;
    bool tunnelOn = false;
    bool connected = false;
    std::string tunIface;
    std::string tunErr;
    std::string dnsMode;
    std::string dnsUpstream;
    bool dnsRunning = false;
    std::string dnsErr;
    std::string listen;
    std::vector<std::string> excludes;
    std::int64_t uptimeSec = 0;
    std::uint64_t routeGen = 0;
    std::string version;
    // Beyond what clients read: how the system resolver is pointed at the forwarder, and where
    // the China-direct networks come from.
    std::string dnsSystem;
    bool chinaDirect = false;
    std::string chinaSource;
    unsigned usqueRestarts = 0;
    // Per-app routing: the default for unlisted apps ("" while off), the cgroups marked now,
    // and why the last request could not be applied.
    std::string appDefault;
    std::vector<AppRoute> appRoutes;
    std::string appErr;
};

// {"ok":true,"status":{...}} without a line feed.
std::string statusReplyJson(const DaemonStatus& status);

// The same for a local user who is neither root nor allowed: whether the tunnel is up and working,
// and nothing of the user's choices (DNS profile, excluded sites) nor error texts, which may name
// the user's files.
std::string strangerStatusReplyJson(const DaemonStatus& status);

}  // namespace nimbra::nimbrad
