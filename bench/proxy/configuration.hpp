#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "launcher.hpp"
#include "tunnel.hpp"

namespace nimbra::bench {

// What a configuration is held against: ours against the peers that speak the same protocol,
// everything against the baseline.
enum class Kind { baseline, socksPeer, httpPeer, socksOurs, httpOurs };

// The peers a kind is compared with; none for the baseline.
std::optional<Kind> peersOf(Kind kind);

// One row of the table: a proxy, or a chain of two, between the load and the origins.
struct Configuration {
    std::string name;
    Kind kind;
    Protocol protocol;
    std::vector<std::string> programs;
    // Starts the chain, upstream first, its front listening on frontPort. Front first.
    std::function<std::vector<ChildProcess>(Launcher&, int frontPort)> start;
};

// direct, the peers, ours: the table's rows in order.
std::vector<Configuration> configurations();

}  // namespace nimbra::bench
