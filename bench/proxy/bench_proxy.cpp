// Our loopback proxies side by side with the Debian peers: the throughput of one tunnel, how
// fast tunnels are set up and the CPU time each costs, small-message latency, keep-alive HTTP
// requests and the memory an idle tunnel costs. Origins, peers and ours all listen on 127.0.0.1;
// the peers are found on PATH and ours come from bench_proxy_server. Prints one table and the
// goals; asserts nothing.
//
//   build/default/bin/bench_proxy [--runs N] [--quick] [--only NAME]... [--load LOAD]...
//                                 [--window SECONDS] [--server PATH]
//
// --runs N: medians over N runs (5). --quick: one run with short windows. --only: measure just
// the named rows (ratios need their references measured too). --load: put just the named loads
// on them (idle, bulk, churn, latency, keep-alive), e.g. to watch one with top or perf.
// --window: count each rate for this long. --server: the bench_proxy_server to measure (the
// one next to this program).

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "configuration.hpp"
#include "launcher.hpp"
#include "load_patterns.hpp"
#include "loopback.hpp"
#include "origins.hpp"
#include "report.hpp"
#include "results.hpp"

namespace {

using namespace nimbra::bench;
using std::chrono::milliseconds;

constexpr Pace kFullPace{milliseconds(300), milliseconds(2000), 10000, 1000};
constexpr Pace kQuickPace{milliseconds(100), milliseconds(500), 3000, 1000};

struct Options {
    int runs = 5;
    bool quick = false;
    std::vector<std::string> only;
    std::vector<std::string> loads;
    std::optional<milliseconds> window;
    std::filesystem::path server =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "bench_proxy_server";
};

Options parseOptions(int argc, char** argv) {
    Options options;
    std::optional<int> runs;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--quick")
            options.quick = true;
        else if (option == "--runs" && hasValue)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (option == "--only" && hasValue)
            options.only.emplace_back(argv[++i]);
        else if (option == "--load" && hasValue)
            options.loads.emplace_back(argv[++i]);
        else if (option == "--window" && hasValue)
            options.window = milliseconds(static_cast<long>(1000 * std::atof(argv[++i])));
        else if (option == "--server" && hasValue)
            options.server = argv[++i];
        else {
            std::fprintf(
                stderr,
                "usage: bench_proxy [--runs N] [--quick] [--only NAME]... [--load LOAD]...\n"
                "                   [--window SECONDS] [--server PATH]\n");
            std::exit(2);
        }
    }
    options.runs = runs.value_or(options.quick ? 1 : 5);
    return options;
}

bool isAsked(const Configuration& configuration, const std::vector<std::string>& only) {
    return only.empty() || std::find(only.begin(), only.end(), configuration.name) != only.end();
}

// The configurations asked for whose programs are all there; the others are noted as skipped.
std::vector<Configuration> runnable(const std::vector<Configuration>& configurations,
                                    const Options& options, const Launcher& launcher,
                                    Incidents& incidents) {
    std::vector<Configuration> found;
    for (const auto& configuration : configurations) {
        if (!isAsked(configuration, options.only)) continue;
        const auto missing =
            std::find_if(configuration.programs.begin(), configuration.programs.end(),
                         [&](const std::string& program) { return !launcher.has(program); });
        if (missing == configuration.programs.end())
            found.push_back(configuration);
        else
            ++incidents[configuration.name + ": skipped, " + *missing + " not found"];
    }
    return found;
}

void recordIdleMemory(FigureSet& figures, const IdleMemory& memory) {
    at(figures, Figure::idleTunnelsOpened) = memory.opened;
    at(figures, Figure::frontKiBPerTunnel) = memory.kibPerTunnel.at(0);
    if (memory.kibPerTunnel.size() > 1)
        at(figures, Figure::upstreamKiBPerTunnel) = memory.kibPerTunnel[1];
}

// The SOCKS5 server is the last process of every chain; an HTTP proxy, when there is one, is in
// front of it. A SOCKS5 server alone has no front.
void recordChurn(FigureSet& figures, const Churn& churn) {
    at(figures, Figure::tunnelsPerSecond) = churn.tunnels.perSecond;
    at(figures, Figure::tunnelFailures) = churn.tunnels.failures;
    const auto& cpu = churn.cpuMicrosPerTunnel;
    if (!cpu.empty()) at(figures, Figure::socksCpuMicrosPerTunnel) = cpu.back();
    if (cpu.size() > 1) at(figures, Figure::frontCpuMicrosPerTunnel) = cpu.front();
}

// Runs one load on a configuration, if it was asked for. A failure costs that load's figures
// only, and is noted.
template <typename Load>
void attempt(const std::string& configuration, const char* load, const Options& options,
             Incidents& incidents, Load run) {
    if (!options.loads.empty() &&
        std::find(options.loads.begin(), options.loads.end(), load) == options.loads.end())
        return;
    try {
        run();
    } catch (const std::exception& error) {
        ++incidents[configuration + ": " + load + " failed: " + error.what()];
    }
    // The proxy may still be tearing down the last load's connections.
    std::this_thread::sleep_for(milliseconds(300));
}

// Each run starts the chain afresh and weighs idle tunnels first, while the proxies' allocators
// hold no memory freed by earlier loads for the tunnels to reuse unseen.
FigureSet measure(const Configuration& configuration, Launcher& launcher, const Origins& origins,
                  const Pace& pace, const Options& options, Incidents& incidents) {
    FigureSet figures = unmeasured();
    const int port = freeLoopbackPort();
    std::vector<ChildProcess> chain = configuration.start(launcher, port);
    const Route route{configuration.protocol, port};
    const std::string& name = configuration.name;
    if (!chain.empty()) {
        attempt(name, "idle", options, incidents, [&] {
            recordIdleMemory(figures, idleMemory(route, origins.echoPort(), pace, chain));
        });
    }
    attempt(name, "bulk", options, incidents,
            [&] { at(figures, Figure::bulkGbps) = bulkGbps(route, origins, pace); });
    attempt(name, "churn", options, incidents,
            [&] { recordChurn(figures, tunnelChurn(route, origins.echoPort(), pace, chain)); });
    attempt(name, "latency", options, incidents, [&] {
        const Latency latency = roundTripLatency(route, origins.echoPort(), pace);
        at(figures, Figure::p50Micros) = latency.p50Micros;
        at(figures, Figure::p99Micros) = latency.p99Micros;
    });
    if (configuration.protocol != Protocol::socks5) {
        attempt(name, "keep-alive", options, incidents, [&] {
            const Rate keepAlive = keepAliveRequests(route, origins.httpPort(), pace);
            at(figures, Figure::keepAliveRequestsPerSecond) = keepAlive.perSecond;
            at(figures, Figure::keepAliveFailures) = keepAlive.failures;
        });
    }
    for (auto& process : chain) {
        if (process.hasExited())
            ++incidents[name + ": a process of the chain exited; its log ends:\n" +
                        process.logTail()];
    }
    return figures;
}

struct Shown {
    Figure figure;
    int precision;
    const char* unit;
};

constexpr Shown kProgress[] = {
    {Figure::bulkGbps, 2, "Gbit/s"},
    {Figure::tunnelsPerSecond, 0, "tunnels/s"},
    {Figure::tunnelFailures, 0, "failed"},
    {Figure::frontCpuMicrosPerTunnel, 1, "us CPU/tunnel front"},
    {Figure::socksCpuMicrosPerTunnel, 1, "us CPU/tunnel SOCKS"},
    {Figure::p50Micros, 1, "us p50"},
    {Figure::p99Micros, 1, "us p99"},
    {Figure::keepAliveRequestsPerSecond, 0, "req/s"},
    {Figure::frontKiBPerTunnel, 1, "KiB/idle tunnel"},
};

void printProgress(int run, int runs, const std::string& name, FigureSet figures) {
    std::fprintf(stderr, "run %d/%d  %-22s", run, runs, name.c_str());
    for (const auto& shown : kProgress) {
        const double value = at(figures, shown.figure);
        if (!std::isnan(value))
            std::fprintf(stderr, "  %.*f %s", shown.precision, value, shown.unit);
    }
    std::fprintf(stderr, "\n");
}

int benchmark(const Options& options) {
    Pace pace = options.quick ? kQuickPace : kFullPace;
    if (options.window) pace.window = *options.window;
    const Origins origins;
    Launcher launcher(options.server);
    Results results;
    Incidents incidents;
    const std::vector<Configuration> measured =
        runnable(configurations(), options, launcher, incidents);
    for (int run = 1; run <= options.runs; ++run) {
        for (const auto& configuration : measured) {
            try {
                const FigureSet figures =
                    measure(configuration, launcher, origins, pace, options, incidents);
                results.add(configuration.name, figures);
                printProgress(run, options.runs, configuration.name, figures);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "run %d/%d  %s failed: %s\n", run, options.runs,
                             configuration.name.c_str(), error.what());
                ++incidents[configuration.name + ": " + error.what()];
            }
        }
    }
    printTable(results, measured, options.runs);
    printNotes(results, measured, pace.idleTunnels, incidents);
    printGoals(results, measured);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    // A proxy that closes a tunnel mid-write must cost a failed write, not the benchmark.
    std::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();
    try {
        return benchmark(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_proxy: %s\n", error.what());
        return 1;
    }
}
