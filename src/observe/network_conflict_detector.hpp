#pragma once

#include <string>
#include <vector>

#include "model/conflict_hint.hpp"

namespace nimbra {

// What a scan found. `hints` holds at most two entries, in the order the scan found them.
struct ConflictReport {
    bool officialWarpConnected = false;
    bool officialWarpInstalled = false;
    bool tailscaleDNS = false;
    bool tailscaleRunning = false;
    std::vector<ConflictHint> hints;

    bool operator==(const ConflictReport&) const = default;
};

// Looks for networking software that fights our tunnel: the provider's official WARP client
// (connected: we must not connect; merely installed: a hint) and Tailscale (its DNS or its
// daemon). Keeps no state; every scan starts from scratch.
class NetworkConflictDetector {
public:
    // Where the scan looks. Every path is injectable so that tests run the whole scan against
    // fake tools and files; system() gives the real locations for this platform. An empty path
    // skips that source.
    struct Sources {
        std::vector<std::string> warpCliPaths;           // tried in order, each with "status"
        std::vector<std::string> installedMarkers;       // paths whose existence means installed
        std::vector<std::string> installedProcessNames;  // process names that mean installed
        std::string resolvConf;                          // read as text
        std::string resolvectl;                          // run with "status" when it exists
        std::string scutil;                              // run with "--dns" when it exists
        std::string procRoot;                            // process names from <procRoot>/*/comm
        std::string ps;  // "-axc -o comm=", used only when procRoot is empty

        static Sources system();
    };

    // Blocking: runs up to a handful of short-lived tools, each with a time-out of a few seconds.
    // Never throws: a missing tool, a failed launch or unreadable output counts as no output.
    static ConflictReport scan(const Sources& sources = Sources::system());
};

}  // namespace nimbra
