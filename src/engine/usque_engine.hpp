#pragma once

#include <mutex>

#include "engine/tunnel_engine.hpp"

namespace nimbra {

// Supervises the usque child that serves SOCKS5 on 127.0.0.1:<socksPort>. Thread-safe: the
// controller's blocking tasks call it from the pool.
class UsqueEngine : public TunnelEngine {
public:
    explicit UsqueEngine(int socksPort) : socksPort_(socksPort) {}

    int socksPort() const override { return socksPort_; }
    bool isRunning() const override;
    void stop() override;

private:
    const int socksPort_;
    mutable std::mutex mutex_;
    bool running_ = false;  // a supervised child exists
};

}  // namespace nimbra
