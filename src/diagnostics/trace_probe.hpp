#pragma once

#include <string>

namespace nimbra {

// One look at the exit through the provider's trace endpoint: whether it was fetched at all and
// what it reported.
struct TraceProbe {
    bool fetched = false;
    std::string ip;
    std::string loc;
    std::string colo;
    std::string warp;
    std::string error;

    bool operator==(const TraceProbe&) const = default;
};

}  // namespace nimbra
