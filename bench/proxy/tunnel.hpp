#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <optional>

namespace nimbra::bench {

using asio::ip::tcp;

enum class Protocol { direct, socks5, http };

// How a client reaches an origin: straight (the baseline) or through the proxy on proxyPort.
struct Route {
    Protocol protocol = Protocol::direct;
    int proxyPort = 0;
};

// A connection to the route's first hop, Nagle off: the origin itself, or the proxy.
asio::awaitable<tcp::socket> connectFirstHop(Route route, int originPort);

// A connection that carries bytes to and from 127.0.0.1:originPort: after the SOCKS5 CONNECT
// reply, or after the HTTP CONNECT 200. Throws when the proxy refuses or fails.
asio::awaitable<tcp::socket> openTunnel(Route route, int originPort);

// A tunnel to the echo origin that has carried a few bytes there and back, so that every hop
// has finished setting it up; nullopt when any step failed.
asio::awaitable<std::optional<tcp::socket>> echoedTunnel(Route route, int echoPort);

}  // namespace nimbra::bench
