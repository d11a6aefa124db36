#include "report.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <string>

namespace nimbra::bench {
namespace {

struct Column {
    Figure figure;
    const char* title;
    int precision;
    bool againstPeers;
    bool againstDirect;
};

constexpr std::array kColumns{
    Column{Figure::bulkGbps, "bulk Gbit/s", 2, true, true},
    Column{Figure::tunnelsPerSecond, "tunnels/s", 0, true, true},
    Column{Figure::tunnelFailures, "fail", 0, false, false},
    Column{Figure::frontCpuMicrosPerTunnel, "CPU us/tunnel", 1, true, false},
    Column{Figure::socksCpuMicrosPerTunnel, "SOCKS", 1, true, false},
    Column{Figure::p50Micros, "p50 us", 1, true, true},
    Column{Figure::p99Micros, "p99 us", 1, true, true},
    Column{Figure::keepAliveRequestsPerSecond, "keep-alive req/s", 0, true, true},
    Column{Figure::frontKiBPerTunnel, "idle KiB/tunnel", 1, true, false},
    Column{Figure::upstreamKiBPerTunnel, "upstream", 1, false, false},
};
constexpr int kNameWidth = 22;
constexpr int kValueWidth = 8;
constexpr int kRatioWidth = 7;

int widthOf(const Column& column) {
    return kValueWidth + (column.againstPeers ? kRatioWidth : 0) +
           (column.againstDirect ? kRatioWidth : 0);
}

void printValue(double value, int precision) {
    if (std::isnan(value))
        std::printf("%*s", kValueWidth, "-");
    else
        std::printf("%*.*f", kValueWidth, precision, value);
}

void printRatio(double value, double reference) {
    if (std::isnan(value) || std::isnan(reference) || reference == 0)
        std::printf("%*s", kRatioWidth, "-");
    else
        std::printf("%*.2f", kRatioWidth, value / reference);
}

void printHeader() {
    std::printf("%-*s", kNameWidth, "");
    for (const auto& column : kColumns) std::printf("  %-*s", widthOf(column), column.title);
    std::printf("\n%-*s", kNameWidth, "configuration");
    for (const auto& column : kColumns) {
        std::printf("  %*s", kValueWidth, "median");
        if (column.againstPeers) std::printf("%*s", kRatioWidth, "/peer");
        if (column.againstDirect) std::printf("%*s", kRatioWidth, "/dir");
    }
    std::printf("\n");
}

void printRow(const Results& results, const std::vector<Configuration>& configurations,
              const Configuration& row) {
    std::printf("%-*s", kNameWidth, row.name.c_str());
    const auto peers = peersOf(row.kind);
    for (const auto& column : kColumns) {
        const double value = results.median(row.name, column.figure);
        std::printf("  ");
        printValue(value, column.precision);
        if (column.againstPeers) {
            printRatio(value, peers ? results.best(configurations, *peers, column.figure) : NAN);
        }
        if (column.againstDirect) printRatio(value, results.median("direct", column.figure));
    }
    std::printf("\n");
}

}  // namespace

void printTable(const Results& results, const std::vector<Configuration>& configurations,
                int runs) {
    std::printf("\nProxies on loopback, medians of %d run%s.\n", runs, runs == 1 ? "" : "s");
    std::printf(
        "  /peer  against the best peer of the same protocol (SOCKS5: microsocks, danted;"
        " HTTP: privoxy or tinyproxy over microsocks)\n");
    std::printf("  /dir   against no proxy\n");
    std::printf("  fail   tunnels that failed within the churn window\n");
    std::printf(
        "  CPU us/tunnel  user+system CPU time per churned tunnel of the front HTTP proxy;"
        " SOCKS: of the SOCKS5 server\n");
    std::printf(
        "  idle KiB/tunnel  peak RSS growth per held idle tunnel of the front process;"
        " upstream: of the SOCKS5 server behind it\n\n");
    printHeader();
    for (const auto& configuration : configurations)
        printRow(results, configurations, configuration);
}

void printNotes(const Results& results, const std::vector<Configuration>& configurations,
                int idleTunnels, const Incidents& incidents) {
    std::vector<std::string> notes;
    for (const auto& configuration : configurations) {
        const double opened = results.median(configuration.name, Figure::idleTunnelsOpened);
        if (opened < idleTunnels) {
            notes.push_back(configuration.name + ": only " +
                            std::to_string(static_cast<int>(opened)) + " of " +
                            std::to_string(idleTunnels) +
                            " idle tunnels opened (KiB/tunnel is per opened tunnel)");
        }
        const double failures = results.median(configuration.name, Figure::keepAliveFailures);
        if (failures > 0) {
            notes.push_back(configuration.name + ": " + std::to_string(static_cast<int>(failures)) +
                            " keep-alive connections failed within the window");
        }
    }
    for (const auto& [incident, times] : incidents) {
        notes.push_back(incident + (times > 1 ? " (" + std::to_string(times) + " times)" : ""));
    }
    if (notes.empty()) return;
    std::printf("\nnotes\n");
    for (const auto& note : notes) std::printf("  %s\n", note.c_str());
}

}  // namespace nimbra::bench
