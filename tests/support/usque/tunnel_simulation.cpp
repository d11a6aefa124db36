#include "tunnel_simulation.hpp"

#include <time.h>

#include "log.hpp"

namespace nimbra::standin {

TunnelSimulation::TunnelSimulation(asio::io_context& io, const StandinOptions& options)
    : options_(options), timer_(io) {}

void TunnelSimulation::start() {
    connectAfterDelay();
}

void TunnelSimulation::connectAfterDelay() {
    if (options_.neverReady) return;
    timer_.expires_after(options_.readyDelay);
    timer_.async_wait([this](std::error_code error) {
        if (!error) connected();
    });
}

// "{mono_ns}" in the ready line becomes the monotonic clock in nanoseconds at the moment of
// writing, so a benchmark can tell how long the reader took to act on the line.
std::string TunnelSimulation::readyLine() const {
    std::string line = options_.readyLine;
    const auto marker = line.find("{mono_ns}");
    if (marker != std::string::npos) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long nanoseconds = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
        line.replace(marker, 9, std::to_string(nanoseconds));
    }
    return line;
}

void TunnelSimulation::connected() {
    connected_ = true;
    logLine(readyLine());
    if (!options_.lostAfter) return;
    if (options_.lostTimes != 0 && losses_ >= options_.lostTimes) return;
    timer_.expires_after(*options_.lostAfter);
    timer_.async_wait([this](std::error_code error) {
        if (error) return;
        ++losses_;
        connected_ = false;
        logLine("Tunnel connection lost: timeout: no recent network activity. Reconnecting...");
        connectAfterDelay();
    });
}

}  // namespace nimbra::standin
