#include "proxy/http_socks_relay.hpp"

#include <string_view>
#include <system_error>

#include "proxy/dial.hpp"
#include "proxy/host_port.hpp"
#include "proxy/proxy_pac.hpp"
#include "proxy/relay_buffers.hpp"
#include "proxy/relay_error.hpp"
#include "proxy/socks5_client.hpp"
#include "proxy/stream_io.hpp"

namespace nimbra {
namespace {

using asio::ip::tcp;

constexpr std::string_view kEstablished =
    "HTTP/1.1 200 Connection Established\r\nProxy-Agent: Nimbra\r\n\r\n";
constexpr std::string_view kBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::string routingReply(const std::string& script) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
           "Content-Length: " +
           std::to_string(script.size()) +
           "\r\nConnection: close\r\nCache-Control: no-cache\r\n\r\n" + script;
}

// Reads until the received bytes hold a whole request head. False when the peer fails, finishes
// first, or sends more than a head may hold.
asio::awaitable<bool> readHead(tcp::socket& client, std::string& received) {
    BufferPool& buffers = BufferPool::forThisThread();
    std::size_t searched = 0;
    for (;;) {
        if (http_head::headLength(received, searched)) co_return true;
        if (received.size() > http_head::kMaxBuffered) co_return false;
        searched = received.size();
        // Try first: the head has usually arrived by the time the connection is served.
        BufferPool::Buffer buffer = buffers.acquire();
        auto read = stream_io::readNow(client, std::span(buffer.get(), http_head::kReadChunk));
        if (read.kind == stream_io::ReadOutcome::nothingYet) {
            buffers.release(std::move(buffer));
            if (!co_await stream_io::awaitReadable(client)) co_return false;
            continue;
        }
        if (read.kind == stream_io::ReadOutcome::data)
            received.append(reinterpret_cast<const char*>(buffer.get()), read.count);
        buffers.release(std::move(buffer));
        // A peer that finishes with a partial head will never complete it.
        if (read.kind == stream_io::ReadOutcome::endOfStream) co_return false;
        if (read.kind == stream_io::ReadOutcome::failed) co_return false;
    }
}

// The head read in the shape within() bounds: the connection, moved out, once its head is whole.
asio::awaitable<std::optional<tcp::socket>> withHead(tcp::socket& client, std::string& received) {
    bool complete = co_await readHead(client, received);
    if (!complete) co_return std::nullopt;
    co_return std::optional<tcp::socket>(std::move(client));
}

}  // namespace

HttpSocksRelay::HttpSocksRelay(Timings timings, PumpMethod pumpMethod)
    : timings_(timings),
      pumpMethod_(pumpMethod),
      listener_("relay", [this](tcp::socket& client) { return serve(client); }) {}

void HttpSocksRelay::start(int httpPort, const std::string& socksHost, int socksPort,
                           SplitTunnelMode splitMode, const std::vector<std::string>& extraBypass) {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (listener_.listening()) return;
    {
        std::lock_guard lock(stateMutex_);
        socksHost_ = socksHost;
        socksPort_ = static_cast<std::uint16_t>(socksPort);
        routingBody_ = ProxyPAC::generate(httpPort, socksHost, socksPort, splitMode, extraBypass);
    }
    if (!hostport::isUsablePort(httpPort))
        throw RelayError({"bad port " + std::to_string(httpPort)});
    try {
        listener_.listen(static_cast<std::uint16_t>(httpPort));
    } catch (const std::system_error& e) {
        throw RelayError({e.code().message()});
    }
}

void HttpSocksRelay::updateRouting(int httpPort, const std::string& socksHost, int socksPort,
                                   SplitTunnelMode splitMode,
                                   const std::vector<std::string>& extraBypass) {
    std::string script = ProxyPAC::generate(httpPort, socksHost, socksPort, splitMode, extraBypass);
    std::lock_guard lock(stateMutex_);
    routingBody_ = std::move(script);
}

void HttpSocksRelay::stop() {
    std::lock_guard lifecycle(lifecycleMutex_);
    listener_.close();
}

bool HttpSocksRelay::isRunning() const {
    return listener_.listening();
}

std::string HttpSocksRelay::routingScript() const {
    std::lock_guard lock(stateMutex_);
    return routingBody_;
}

HttpSocksRelay::Upstream HttpSocksRelay::upstream() const {
    std::lock_guard lock(stateMutex_);
    return {socksHost_, socksPort_};
}

asio::awaitable<void> HttpSocksRelay::serve(tcp::socket& client) {
    std::string received;
    // A client that never finishes its head would otherwise hold its descriptor for good.
    auto ready = co_await within(timings_.relayHeadWait, withHead(client, received));
    if (!ready) co_return;
    client = std::move(*ready);
    std::size_t length = *http_head::headLength(received);
    std::string rest = received.substr(length);
    received.resize(length);
    auto head = http_head::parse(std::move(received));
    if (!head) co_return;
    switch (http_head::routeOf(*head)) {
        case http_head::Route::routingScript:
            co_await replyRouting(client);
            break;
        case http_head::Route::connect:
            co_await openTunnel(client, *head, rest);
            break;
        case http_head::Route::forward:
            co_await forward(client, *head, rest);
            break;
    }
}

asio::awaitable<void> HttpSocksRelay::replyRouting(tcp::socket& client) {
    std::string reply = routingReply(routingScript());
    co_await stream_io::replyAndClose(client, asio::buffer(reply));
}

asio::awaitable<void> HttpSocksRelay::openTunnel(tcp::socket& client,
                                                 const http_head::RequestHead& head,
                                                 const std::string& rest) {
    auto target = hostport::splitHostPort(head.target, 443);
    auto upstream = co_await openUpstream(target.host, target.port);
    if (!upstream) {
        co_await stream_io::replyAndClose(client, asio::buffer(kBadGateway));
        co_return;
    }
    co_await stream_io::sendRaw(client, asio::buffer(kEstablished));
    // Bytes that came with the head (a TLS hello, say) go first, before anything pumped later.
    if (!rest.empty()) co_await stream_io::sendRaw(*upstream, asio::buffer(rest));
    relayBothWays(std::move(client), std::move(*upstream), pumpMethod_);
}

asio::awaitable<void> HttpSocksRelay::forward(tcp::socket& client,
                                              const http_head::RequestHead& head,
                                              const std::string& rest) {
    auto target = http_head::absoluteTarget(head);
    if (!target) {
        co_await stream_io::replyAndClose(client, asio::buffer(kBadRequest));
        co_return;
    }
    auto upstream = co_await openUpstream(target->host, target->port);
    if (!upstream) {
        co_await stream_io::replyAndClose(client, asio::buffer(kBadGateway));
        co_return;
    }
    std::string outgoing = http_head::forwardedHead(head, *target) + rest;
    co_await stream_io::sendRaw(*upstream, asio::buffer(outgoing));
    relayBothWays(std::move(client), std::move(*upstream), pumpMethod_);
}

asio::awaitable<std::optional<tcp::socket>> HttpSocksRelay::openUpstream(const std::string& host,
                                                                         std::uint16_t port) {
    Upstream socks = upstream();
    // The limit covers the whole handshake, not only the connect: a SOCKS server that accepts
    // and then stalls must not hold the browser's request forever.
    auto attempt = openSocksTunnel(socks.host, socks.port, host, port);
    co_return co_await within(timings_.relayUpstreamWait, std::move(attempt));
}

}  // namespace nimbra
