#pragma once

#include <string>
#include <vector>

#include "model/connection_mode.hpp"

namespace nimbra::bench {

// What carries the tunnel while the controller connects.
enum class TunnelKind {
    instant,  // an engine whose start returns at once: "ready" is when it returns
    standin,  // the real engine running the usque stand-in: "ready" is its readiness line
};

// Milliseconds per connect, the exit probe's own time taken out of each.
struct ConnectSamples {
    std::vector<double> readyToConnected;    // tunnel ready -> first `connected` snapshot
    std::vector<double> connectToConnected;  // connect() -> first `connected` snapshot
    std::string failure;                     // why the runs stopped early, if they did
};

// Runs `runs` connect/disconnect cycles (after one warm-up cycle that is not counted) of one
// WarpController, with the product's own start sequence, on a private home.
ConnectSamples measureConnect(ConnectionMode mode, TunnelKind tunnel, int runs);

}  // namespace nimbra::bench
