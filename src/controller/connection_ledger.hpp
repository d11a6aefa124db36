#pragma once

namespace nimbra {

// What a connection (or a connect attempt) has started and must therefore stop again. The one
// unwinder reads it for a failed connect, a cancel, a disconnect and quitting alike.
struct ConnectionLedger {
    bool daemonTun = false;     // nimbrad's TUN ("start" was or may have been sent)
    bool engine = false;        // usque, launched or adopted
    bool relay = false;         // the HTTP relay and its PAC server
    bool socksGateway = false;  // the SOCKS5 compatibility gateway
    bool proxyWritten = false;  // the desktop's proxy settings point at us

    // For an attempt that may have got anywhere: stop and restore everything.
    static ConnectionLedger everything() {
        return {.daemonTun = true,
                .engine = true,
                .relay = true,
                .socksGateway = true,
                .proxyWritten = true};
    }
    bool empty() const { return !daemonTun && !engine && !relay && !socksGateway && !proxyWritten; }
    bool operator==(const ConnectionLedger&) const = default;
};

}  // namespace nimbra
