#pragma once

#include "model/connection_mode.hpp"

namespace nimbra {

// What a connection (or a connect attempt) has started and must therefore stop again. The one
// unwinder reads it for a failed connect, a cancel, a disconnect and quitting alike.
struct ConnectionLedger {
    bool daemonTun = false;     // nimbrad's TUN ("start" was or may have been sent)
    bool engine = false;        // usque, launched or adopted
    bool relay = false;         // the HTTP relay and its PAC server
    bool socksGateway = false;  // the SOCKS5 compatibility gateway
    bool proxyWritten = false;  // a write of the desktop's proxy settings was tried

    // For an attempt in `mode` that may have got anywhere: every piece that mode can start. Only
    // a real TUN attempt can have brought nimbrad's TUN up; a "stop" from any other would end the
    // whole-machine tunnel another run (the window's) has up. Only system-proxy mode writes the
    // desktop's settings.
    static ConnectionLedger forAttempt(ConnectionMode mode) {
        return {.daemonTun = mode == ConnectionMode::realTun,
                .engine = true,
                .relay = true,
                .socksGateway = true,
                .proxyWritten = mode == ConnectionMode::globalTun};
    }
    bool empty() const { return !daemonTun && !engine && !relay && !socksGateway && !proxyWritten; }
    bool operator==(const ConnectionLedger&) const = default;
};

}  // namespace nimbra
