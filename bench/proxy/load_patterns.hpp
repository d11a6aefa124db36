#pragma once

#include <chrono>
#include <vector>

#include "child_process.hpp"
#include "origins.hpp"
#include "tunnel.hpp"

// The loads the benchmark puts on a route. Each runs its clients on the calling thread and
// returns its figures; the origins serve on their own thread.
namespace nimbra::bench {

struct Pace {
    std::chrono::milliseconds warmup;  // run, but not counted
    std::chrono::milliseconds window;  // counted
    int roundTrips;                    // latency samples
    int idleTunnels;
};

// One tunnel to the sink, written to with large writes; Gbit/s as the sink counts it.
double bulkGbps(Route route, const Origins& origins, const Pace& pace);

struct Rate {
    double perSecond;
    double failures;  // within the window
};

struct Churn {
    Rate tunnels;
    // CPU time each process of the chain spent per tunnel completed in the window, in
    // microseconds; the chain's order, front first.
    std::vector<double> cpuMicrosPerTunnel;
};
// 50 clients, each in a loop: open a tunnel to the echo origin, echo 8 bytes, close. The chain's
// CPU time is read as the window opens and as it closes, so that it pays for the same tunnels
// that are counted.
Churn tunnelChurn(Route route, int echoPort, const Pace& pace,
                  const std::vector<ChildProcess>& chain);

struct Latency {
    double p50Micros;
    double p99Micros;
};
// 64-byte messages echoed one at a time through a single tunnel.
Latency roundTripLatency(Route route, int echoPort, const Pace& pace);

// Keep-alive connections sending absolute-form GETs to the HTTP origin, one request at a time
// each, to the HTTP proxy (or, direct, to the origin itself).
Rate keepAliveRequests(Route route, int httpPort, const Pace& pace);

struct IdleMemory {
    int opened = 0;
    // Growth of each process's peak RSS per opened tunnel, in KiB; the chain's order, front first.
    std::vector<double> kibPerTunnel;
};
// Opens pace.idleTunnels tunnels to the echo origin, holds them all open and idle, and weighs
// what they cost each process of the chain.
IdleMemory idleMemory(Route route, int echoPort, const Pace& pace,
                      const std::vector<ChildProcess>& chain);

}  // namespace nimbra::bench
