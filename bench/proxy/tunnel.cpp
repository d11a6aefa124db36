#include "tunnel.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace nimbra::bench {
namespace {

using asio::use_awaitable;
using Byte = std::uint8_t;

// The load connects from 127.0.0.2. The tens of thousands of connections it closes then wait out
// TIME_WAIT there, and not on the ports of 127.0.0.1 that the proxies need for their own
// outgoing connections (danted binds 127.0.0.1:0 before connecting, and fails once they run out).
// The port is left to connect(), which may share it between destinations.
void bindToLoadAddress(tcp::socket& socket) {
    socket.open(tcp::v4());
    const int yes = 1;
    ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
    socket.bind(tcp::endpoint(asio::ip::make_address_v4("127.0.0.2"), 0));
}

// What follows the 4-byte head of a SOCKS5 reply: the bound address and port. The proxy tells
// us nothing we use there, but it must be read off the stream before the tunnel's bytes.
asio::awaitable<void> skipBoundAddress(tcp::socket& socket, Byte addressType) {
    std::size_t length = addressType == 0x01 ? 4 : 16;
    if (addressType == 0x03) {
        std::array<Byte, 1> nameLength{};
        co_await asio::async_read(socket, asio::buffer(nameLength), use_awaitable);
        length = nameLength[0];
    }
    std::array<Byte, 255 + 2> rest{};
    co_await asio::async_read(socket, asio::buffer(rest.data(), length + 2), use_awaitable);
}

// Greeting, method selection, CONNECT to 127.0.0.1 as an IPv4 address, reply: one round trip
// each, as ordinary clients do.
asio::awaitable<void> socksConnect(tcp::socket& socket, int originPort) {
    const std::array<Byte, 3> greeting{0x05, 0x01, 0x00};
    co_await asio::async_write(socket, asio::buffer(greeting), use_awaitable);
    std::array<Byte, 2> selection{};
    co_await asio::async_read(socket, asio::buffer(selection), use_awaitable);
    if (selection[0] != 0x05 || selection[1] != 0x00)
        throw std::runtime_error("SOCKS5 method refused");

    const std::array<Byte, 10> request{0x05,
                                       0x01,
                                       0x00,
                                       0x01,
                                       127,
                                       0,
                                       0,
                                       1,
                                       static_cast<Byte>(originPort >> 8),
                                       static_cast<Byte>(originPort)};
    co_await asio::async_write(socket, asio::buffer(request), use_awaitable);
    std::array<Byte, 4> head{};
    co_await asio::async_read(socket, asio::buffer(head), use_awaitable);
    if (head[0] != 0x05 || head[1] != 0x00) throw std::runtime_error("SOCKS5 CONNECT refused");
    co_await skipBoundAddress(socket, head[3]);
}

// The origins never speak first, so nothing past the blank line can arrive with the response.
asio::awaitable<void> httpConnect(tcp::socket& socket, int originPort) {
    const std::string authority = "127.0.0.1:" + std::to_string(originPort);
    const std::string request =
        "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    co_await asio::async_write(socket, asio::buffer(request), use_awaitable);
    std::string response;
    co_await asio::async_read_until(socket, asio::dynamic_buffer(response), "\r\n\r\n",
                                    use_awaitable);
    if (response.compare(8, 5, " 200 ") != 0) throw std::runtime_error("HTTP CONNECT refused");
}

}  // namespace

asio::awaitable<tcp::socket> connectFirstHop(Route route, int originPort) {
    const int port = route.protocol == Protocol::direct ? originPort : route.proxyPort;
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(),
                                 static_cast<std::uint16_t>(port));
    tcp::socket socket(co_await asio::this_coro::executor);
    bindToLoadAddress(socket);
    co_await socket.async_connect(endpoint, use_awaitable);
    socket.set_option(tcp::no_delay(true));
    co_return socket;
}

asio::awaitable<tcp::socket> openTunnel(Route route, int originPort) {
    tcp::socket socket = co_await connectFirstHop(route, originPort);
    if (route.protocol == Protocol::socks5) co_await socksConnect(socket, originPort);
    if (route.protocol == Protocol::http) co_await httpConnect(socket, originPort);
    co_return socket;
}

asio::awaitable<std::optional<tcp::socket>> echoedTunnel(Route route, int echoPort) {
    try {
        tcp::socket socket = co_await openTunnel(route, echoPort);
        const std::array<char, 8> ping{'p', 'i', 'n', 'g', 'p', 'o', 'n', 'g'};
        co_await asio::async_write(socket, asio::buffer(ping), use_awaitable);
        std::array<char, 8> pong{};
        co_await asio::async_read(socket, asio::buffer(pong), use_awaitable);
        co_return std::move(socket);
    } catch (const std::exception&) {
        co_return std::nullopt;
    }
}

}  // namespace nimbra::bench
