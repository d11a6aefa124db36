#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "proxy/name_resolver.hpp"

// Outgoing connections of the local proxies: to the engine's SOCKS5 listener (relay) and to the
// requested destinations (gateway).
namespace nimbra {

// Connects to host:port on the current executor, trying each address the name resolves to in
// turn (see NameResolver). An address literal is used as it stands. nullopt when nothing
// accepted. Cancelling the awaiting coroutine ends the lookup as well as the connect.
asio::awaitable<std::optional<asio::ip::tcp::socket>> dial(const std::string& host,
                                                           std::uint16_t port,
                                                           AddressFamilies families);

// Runs `attempt` and gives up when `limit` passes first; the attempt is cancelled then, and has
// ended (its socket closed) by the time this returns. The outcome, or nullopt on time-out.
asio::awaitable<std::optional<asio::ip::tcp::socket>> within(
    std::chrono::steady_clock::duration limit,
    asio::awaitable<std::optional<asio::ip::tcp::socket>> attempt);

}  // namespace nimbra
