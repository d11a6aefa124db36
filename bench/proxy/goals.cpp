#include <array>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "report.hpp"

namespace nimbra::bench {
namespace {

// A reference that is not one configuration but the best of the HTTP peer chains.
constexpr std::string_view kBestHttpPeer = "best HTTP peer";

struct Goal {
    const char* text;
    const char* subject;
    Figure figure;
    bool atLeast;  // subject >= factor x reference; otherwise <=
    double factor;
    std::string_view reference;  // empty: factor is an absolute limit
};

constexpr std::array kGoals{
    Goal{"gateway bulk >= 2x microsocks", "gateway", Figure::bulkGbps, true, 2, "microsocks"},
    Goal{"gateway bulk >= danted", "gateway", Figure::bulkGbps, true, 1, "danted"},
    Goal{"gateway tunnels/s >= microsocks", "gateway", Figure::tunnelsPerSecond, true, 1,
         "microsocks"},
    Goal{"relay->gateway bulk >= 2x privoxy->microsocks", "relay->gateway", Figure::bulkGbps, true,
         2, "privoxy->microsocks"},
    // Every row shares the two cores with the load, so a chain of three connections cannot
    // outrun one of two in tunnels/s; what a tunnel costs the proxy process itself can be held.
    Goal{"relay CPU us/tunnel <= 0.5x tinyproxy (fronts of the chains)", "relay->gateway",
         Figure::frontCpuMicrosPerTunnel, false, 0.5, "tinyproxy->microsocks"},
    Goal{"gateway CPU us/tunnel <= 0.5x microsocks", "gateway", Figure::socksCpuMicrosPerTunnel,
         false, 0.5, "microsocks"},
    Goal{"relay->gateway keep-alive req/s >= 3x privoxy->microsocks", "relay->gateway",
         Figure::keepAliveRequestsPerSecond, true, 3, "privoxy->microsocks"},
    Goal{"relay->microsocks bulk >= 0.95x microsocks", "relay->microsocks", Figure::bulkGbps, true,
         0.95, "microsocks"},
    Goal{"relay->microsocks tunnels/s >= 0.95x microsocks", "relay->microsocks",
         Figure::tunnelsPerSecond, true, 0.95, "microsocks"},
    Goal{"relay idle KiB/tunnel <= 8 (front of relay->gateway)", "relay->gateway",
         Figure::frontKiBPerTunnel, false, 8, ""},
    Goal{"gateway idle KiB/tunnel <= 8", "gateway", Figure::frontKiBPerTunnel, false, 8, ""},
    Goal{"relay->gateway p99 <= 1.5x best HTTP peer chain", "relay->gateway", Figure::p99Micros,
         false, 1.5, kBestHttpPeer},
};

double referenceOf(const Goal& goal, const Results& results,
                   const std::vector<Configuration>& configurations) {
    if (goal.reference.empty()) return 1;
    if (goal.reference == kBestHttpPeer)
        return results.best(configurations, Kind::httpPeer, goal.figure);
    return results.median(std::string(goal.reference), goal.figure);
}

void printGoal(const Goal& goal, const Results& results,
               const std::vector<Configuration>& configurations) {
    const double value = results.median(goal.subject, goal.figure);
    const double reference = referenceOf(goal, results, configurations);
    const double limit = goal.factor * reference;
    if (std::isnan(value) || std::isnan(limit)) {
        std::printf("  n/a   %s: not measured\n", goal.text);
        return;
    }
    const bool met = goal.atLeast ? value >= limit : value <= limit;
    std::printf("  %s  %-60s %10.2f %s %-10.2f", met ? "PASS" : "FAIL", goal.text, value,
                goal.atLeast ? ">=" : "<=", limit);
    // The ratio to the reference, to set against the goal's factor.
    if (!goal.reference.empty() && reference != 0) std::printf("  %.2fx", value / reference);
    std::printf("\n");
}

}  // namespace

void printGoals(const Results& results, const std::vector<Configuration>& configurations) {
    std::printf(
        "\ngoals (measured, the limit it is held to, and its ratio to the reference, if any)\n");
    for (const auto& goal : kGoals) printGoal(goal, results, configurations);
}

}  // namespace nimbra::bench
