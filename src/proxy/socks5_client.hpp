#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <optional>
#include <string>

// The relay's side of SOCKS5: opening a tunnel through the engine's listener.
namespace nimbra {

// Connects to the SOCKS5 server at socksHost:socksPort, offers "no authentication", asks for a
// CONNECT to host:port and reads the reply up to its last byte and no further. The connected
// socket, ready to carry the tunnel's bytes, or nullopt when the server cannot be reached,
// refuses, answers anything unexpected, or the host name is longer than 255 bytes.
//
// There is no time limit here; callers bound it with within().
asio::awaitable<std::optional<asio::ip::tcp::socket>> openSocksTunnel(const std::string& socksHost,
                                                                      std::uint16_t socksPort,
                                                                      const std::string& host,
                                                                      std::uint16_t port);

}  // namespace nimbra
