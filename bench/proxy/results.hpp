#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "configuration.hpp"

namespace nimbra::bench {

enum class Figure {
    bulkGbps,
    tunnelsPerSecond,
    tunnelFailures,
    frontCpuMicrosPerTunnel,
    socksCpuMicrosPerTunnel,
    p50Micros,
    p99Micros,
    keepAliveRequestsPerSecond,
    keepAliveFailures,
    frontKiBPerTunnel,
    upstreamKiBPerTunnel,
    idleTunnelsOpened,
    count
};

// One run's figures for one configuration; NaN where a figure was not measured.
using FigureSet = std::array<double, static_cast<std::size_t>(Figure::count)>;
FigureSet unmeasured();
double& at(FigureSet& figures, Figure figure);

// Throughputs are better high, latencies, failures, CPU time and memory low.
bool higherIsBetter(Figure figure);

// Every run's figures for every configuration, summed up as medians over the runs.
class Results {
public:
    void add(const std::string& configuration, const FigureSet& figures);
    // NaN when no run measured it.
    double median(const std::string& configuration, Figure figure) const;
    // The best median among the configurations of `kind`.
    double best(const std::vector<Configuration>& configurations, Kind kind, Figure figure) const;

private:
    std::map<std::string, std::vector<FigureSet>> runs_;
};

}  // namespace nimbra::bench
