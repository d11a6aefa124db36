#pragma once

#include <optional>
#include <string>

#include "base/text.hpp"

namespace nimbra {

// One look at the exit through the provider's trace endpoint: whether a trace with an exit
// address was obtained, what it reported, and why not when it failed.
struct TraceProbe {
    bool fetched = false;
    std::string ip;
    std::string loc;
    std::string colo;
    std::string warp;
    std::optional<std::string> error;

    static TraceProbe failed(std::string why) {
        TraceProbe probe;
        probe.error = std::move(why);
        return probe;
    }

    // The exit is usable: an address, and WARP either on or not reported at all.
    bool ok() const {
        return fetched && !ip.empty() && (warp.empty() || text::toLowerAscii(warp) == "on");
    }
    // Strictly on WARP: an address and "warp=on" (any case).
    bool warpOn() const { return fetched && !ip.empty() && text::toLowerAscii(warp) == "on"; }

    bool operator==(const TraceProbe&) const = default;
};

}  // namespace nimbra
