#include "tunnel_simulation.hpp"

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

void TunnelSimulation::connected() {
    logLine(options_.readyLine);
    if (!options_.lostAfter) return;
    if (options_.lostTimes != 0 && losses_ >= options_.lostTimes) return;
    timer_.expires_after(*options_.lostAfter);
    timer_.async_wait([this](std::error_code error) {
        if (error) return;
        ++losses_;
        logLine("Tunnel connection lost: timeout: no recent network activity. Reconnecting...");
        connectAfterDelay();
    });
}

}  // namespace nimbra::standin
