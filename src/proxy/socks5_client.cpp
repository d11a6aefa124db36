#include "proxy/socks5_client.hpp"

#include "proxy/dial.hpp"
#include "proxy/socks5_wire.hpp"
#include "proxy/stream_io.hpp"

namespace nimbra {

asio::awaitable<std::optional<asio::ip::tcp::socket>> openSocksTunnel(const std::string& socksHost,
                                                                      std::uint16_t socksPort,
                                                                      const std::string& host,
                                                                      std::uint16_t port) {
    auto request = socks5::connectRequest(host, port);
    if (!request) co_return std::nullopt;
    auto upstream = co_await dial(socksHost, socksPort, AddressFamilies::any);
    if (!upstream) co_return std::nullopt;

    auto greeting = socks5::clientGreeting();
    co_await stream_io::sendRaw(*upstream, asio::buffer(greeting));
    auto selection = co_await stream_io::recvMessage(*upstream, socks5::parseMethodSelection);
    if (!selection) co_return std::nullopt;

    co_await stream_io::sendRaw(*upstream, asio::buffer(*request));
    // The bound address in the reply is read so that it does not reach the client, and dropped.
    auto reply = co_await stream_io::recvMessage(*upstream, socks5::parseConnectReply);
    if (!reply) co_return std::nullopt;
    co_return std::move(upstream);
}

}  // namespace nimbra
