#pragma once

#include <map>
#include <string>
#include <vector>

#include "configuration.hpp"
#include "results.hpp"

namespace nimbra::bench {

// The table: a row per configuration, each figure's median with its ratio to the best peer of
// the same protocol and to direct.
void printTable(const Results& results, const std::vector<Configuration>& configurations, int runs);

// What went wrong, and how many times over the runs: a row skipped, a load that failed.
using Incidents = std::map<std::string, int>;

// What the table does not show: short idle counts, keep-alive failures, and the incidents.
void printNotes(const Results& results, const std::vector<Configuration>& configurations,
                int idleTunnels, const Incidents& incidents);

// PASS or FAIL for each figure our proxies are expected to reach against the peers.
void printGoals(const Results& results, const std::vector<Configuration>& configurations);

}  // namespace nimbra::bench
