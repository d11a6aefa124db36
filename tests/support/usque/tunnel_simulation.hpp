#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "standin_options.hpp"

namespace nimbra::standin {

// The log side of the MASQUE tunnel, which the stand-in never builds: the ready line after the
// readiness delay, and with USQUE_STANDIN_LOST_AFTER_MS the loss line and a reconnect.
class TunnelSimulation {
public:
    TunnelSimulation(asio::io_context& io, const StandinOptions& options);
    void start();
    // Between the ready line and a loss: a tunnel carries packets only then.
    bool isConnected() const { return connected_; }

private:
    void connectAfterDelay();
    void connected();
    std::string readyLine() const;

    const StandinOptions& options_;
    asio::steady_timer timer_;
    int losses_ = 0;
    bool connected_ = false;
};

}  // namespace nimbra::standin
