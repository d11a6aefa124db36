// How long the controller takes from a ready tunnel to `connected`, and how much memory
// `nimbra-cli connect` holds while connected and idle. Prints figures; the goals are in
// bench/README.md.
//
//   build/<dir>/bin/bench_connect [--runs N] [--idle SECONDS] [--only timing|memory]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cli_memory.hpp"
#include "connect_timing.hpp"

namespace {

using nimbra::ConnectionMode;
using nimbra::bench::TunnelKind;

struct Options {
    int runs = 30;
    int idleSeconds = 2;
    bool timing = true;
    bool memory = true;
};

[[noreturn]] void usage(int status) {
    std::fprintf(status == 0 ? stdout : stderr,
                 "usage: bench_connect [--runs N] [--idle SECONDS] [--only timing|memory]\n");
    std::exit(status);
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") usage(0);
        if (i + 1 >= argc) usage(2);
        const std::string value = argv[++i];
        if (flag == "--runs") {
            options.runs = std::max(3, std::atoi(value.c_str()));
        } else if (flag == "--idle") {
            options.idleSeconds = std::max(0, std::atoi(value.c_str()));
        } else if (flag == "--only" && (value == "timing" || value == "memory")) {
            options.timing = value == "timing";
            options.memory = value == "memory";
        } else {
            usage(2);
        }
    }
    return options;
}

void printSummary(const char* what, std::vector<double> samples) {
    if (samples.empty()) {
        std::printf("  %-30s %9s\n", what, "n/a");
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    std::printf("  %-30s %9.3f %9.3f %9.3f %9.3f %5zu\n", what, at(0.5), at(0.9), samples.front(),
                samples.back(), samples.size());
}

void printTiming(int runs) {
    struct Row {
        const char* title;
        ConnectionMode mode;
        TunnelKind tunnel;
        const char* ready;
    };
    const Row rows[] = {
        {"socks mode, instant engine", ConnectionMode::socks, TunnelKind::instant,
         "ready -> connected"},
        {"proxy mode, instant engine", ConnectionMode::globalTun, TunnelKind::instant,
         "ready -> connected"},
        {"socks mode, usque stand-in (peer)", ConnectionMode::socks, TunnelKind::standin,
         "ready line -> connected"},
        {"proxy mode, usque stand-in (peer)", ConnectionMode::globalTun, TunnelKind::standin,
         "ready line -> connected"},
    };
    std::printf("Connect, %d runs per row after one warm-up (milliseconds, exit probe taken out)\n",
                runs);
    std::printf("  %-30s %9s %9s %9s %9s %5s\n", "", "median", "p90", "min", "max", "n");
    for (const Row& row : rows) {
        std::printf("%s\n", row.title);
        std::fflush(stdout);
        const auto samples = nimbra::bench::measureConnect(row.mode, row.tunnel, runs);
        printSummary(row.ready, samples.readyToConnected);
        printSummary("connect() -> connected", samples.connectToConnected);
        if (!samples.failure.empty()) std::printf("  stopped early: %s\n", samples.failure.c_str());
        std::fflush(stdout);
    }
}

void printMemory(int idleSeconds) {
    const auto memory = nimbra::bench::measureCliMemory(NIMBRA_CLI_PROGRAM, idleSeconds);
    std::printf("\nnimbra-cli connect --mode socks, connected and idle for %d s (KiB)\n",
                idleSeconds);
    std::printf("  %-30s %9s %9s\n", "", "VmRSS", "VmHWM");
    std::printf("  %-30s %9ld %9ld\n", "nimbra-cli", memory.cli.rssKiB, memory.cli.hwmKiB);
    std::printf("  %-30s %9ld %9ld\n", "usque stand-in (peer)", memory.usque.rssKiB,
                memory.usque.hwmKiB);
    if (!memory.failure.empty()) std::printf("  note: %s\n", memory.failure.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    try {
        if (options.timing) printTiming(options.runs);
        if (options.memory) printMemory(options.idleSeconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_connect: %s\n", error.what());
        return 1;
    }
    return 0;
}
