#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model/split_tunnel_mode.hpp"
#include "model/timings.hpp"
#include "proxy/http_request_head.hpp"
#include "proxy/local_listener.hpp"
#include "proxy/tunnel.hpp"

namespace nimbra {

// The HTTP proxy that browsers and the desktop's proxy settings point at. It serves the routing
// script at /proxy.pac itself and sends every other request (CONNECT tunnels and plain HTTP)
// through a SOCKS5 server, normally the engine's listener. One instance lives as long as the
// client; the controller starts it on connect and stops it on disconnect.
//
// Only the first request head of a connection is parsed, and it must be complete within
// Timings::relayHeadWait of the accept or the connection is closed. Whatever follows, further
// requests of a kept-alive connection included, goes to the same upstream byte for byte.
class HttpSocksRelay {
public:
    explicit HttpSocksRelay(Timings timings = Timings::standard(),
                            PumpMethod pumpMethod = preferredPumpMethod());
    HttpSocksRelay(const HttpSocksRelay&) = delete;
    HttpSocksRelay& operator=(const HttpSocksRelay&) = delete;

    // Builds the routing script and starts listening on 127.0.0.1:httpPort, relaying through
    // socksHost:socksPort. Returns once the listener is ready; throws RelayError when the port is
    // out of range or cannot be bound. While running this returns at once and changes nothing.
    void start(int httpPort, const std::string& socksHost, int socksPort, SplitTunnelMode splitMode,
               const std::vector<std::string>& extraBypass);

    // Rebuilds the routing script from these arguments; the listener and the upstream stay.
    void updateRouting(int httpPort, const std::string& socksHost, int socksPort,
                       SplitTunnelMode splitMode, const std::vector<std::string>& extraBypass);

    // Stops accepting and frees the port. Tunnels already relayed go on until either side
    // closes. Safe when not running.
    void stop();

    bool isRunning() const;
    std::string routingScript() const;

private:
    struct Upstream {
        std::string host;
        std::uint16_t port;
    };

    Upstream upstream() const;
    asio::awaitable<void> serve(asio::ip::tcp::socket& client);
    asio::awaitable<void> replyRouting(asio::ip::tcp::socket& client);
    asio::awaitable<void> openTunnel(asio::ip::tcp::socket& client,
                                     const http_head::RequestHead& head, const std::string& rest);
    asio::awaitable<void> forward(asio::ip::tcp::socket& client, const http_head::RequestHead& head,
                                  const std::string& rest);
    asio::awaitable<std::optional<asio::ip::tcp::socket>> openUpstream(const std::string& host,
                                                                       std::uint16_t port);

    const Timings timings_;
    const PumpMethod pumpMethod_;
    std::mutex lifecycleMutex_;  // serialises start and stop
    mutable std::mutex stateMutex_;
    std::string socksHost_ = "127.0.0.1";  // guarded by stateMutex_
    std::uint16_t socksPort_ = 19999;      // guarded by stateMutex_
    std::string routingBody_;              // guarded by stateMutex_
    // Last, so that its thread has stopped before the state its connections use goes away.
    LocalListener listener_;
};

}  // namespace nimbra
