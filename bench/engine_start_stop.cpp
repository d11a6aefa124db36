// How quickly the engine acts on usque: the time from the readiness line being written to
// startSocks returning, and the time stop() takes on a child that ends on SIGTERM. Runs the usque
// stand-in on a private home and a free loopback port.
//
//   build/default/bin/bench_engine [runs]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/preference_store.hpp"
#include "engine/usque_engine.hpp"

namespace {

using namespace std::chrono;
using nimbra::UsqueEngine;

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The monotonic time the stand-in wrote into its readiness line.
long long readinessWritten(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        const auto at = line.find("ready at ");
        if (at != std::string::npos) return std::atoll(line.c_str() + at + 9);
    }
    return -1;
}

struct Summary {
    double median, p90, min, max;
};

Summary summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))]; };
    return {at(0.5), at(0.9), samples.front(), samples.back()};
}

void printRow(const char* what, const Summary& s, const char* target) {
    std::printf("%-38s %9.3f %9.3f %9.3f %9.3f   %s\n", what, s.median, s.p90, s.min, s.max,
                target);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 25;

    char pattern[] = "/tmp/nimbra-bench-XXXXXX";
    const std::filesystem::path home = ::mkdtemp(pattern);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("PATH", (std::string(NIMBRA_STANDIN_DIR) + ":/usr/bin:/bin").c_str(), 1);
    ::setenv("USQUE_STANDIN_READY_LINE", "Connected to MASQUE server, ready at {mono_ns}", 1);
    ::setenv("USQUE_STANDIN_READY_DELAY_MS", "20", 1);
    std::filesystem::create_directories(home / "data" / "Nimbra");
    std::ofstream(home / "data" / "Nimbra" / "config.json") << "{}";
    nimbra::PreferenceStore store(home / "preferences.json");

    std::vector<double> reaction, stopping;
    for (int run = 0; run < runs; ++run) {
        UsqueEngine engine(
            freePort(),
            {.timings = nimbra::Timings::standard(), .processes = nullptr, .store = &store});
        engine.startSocks(false);
        const auto returned = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch());
        const long long written = readinessWritten(engine.recentLines());
        if (written > 0) reaction.push_back((returned.count() - written) / 1e6);

        const auto stopStart = steady_clock::now();
        engine.stop();
        stopping.push_back(duration<double, std::milli>(steady_clock::now() - stopStart).count());
    }
    std::filesystem::remove_all(home);

    std::printf("usque engine, %d runs against the stand-in (milliseconds)\n", runs);
    std::printf("%-38s %9s %9s %9s %9s   %s\n", "", "median", "p90", "min", "max", "target");
    printRow("readiness line -> startSocks returns", summarize(reaction), "median < 5");
    printRow("stop() on a cooperative child", summarize(stopping), "median < 50");
    return 0;
}
