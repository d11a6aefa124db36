#include "nimbrad/dns_forwarder.hpp"

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <optional>
#include <random>
#include <span>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "nimbrad/dns_message.hpp"

namespace nimbra::nimbrad {

namespace {

using asio::awaitable;
using asio::ip::tcp;
using asio::ip::udp;
using namespace asio::experimental::awaitable_operators;
using Message = std::vector<std::uint8_t>;

// Errors come back as values: a time-out or a refused upstream is routine here, not exceptional.
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

// Reads one length-prefixed message; nullopt when the stream ends or the message is shorter than
// a header.
awaitable<std::optional<Message>> readFramed(tcp::socket& socket) {
    std::array<std::uint8_t, 2> prefix{};
    auto [prefixError, prefixSize] =
        co_await asio::async_read(socket, asio::buffer(prefix), kNoThrow);
    if (prefixError) co_return std::nullopt;
    const std::size_t length = static_cast<std::size_t>(prefix[0] << 8 | prefix[1]);
    if (length < dns::kHeaderSize) co_return std::nullopt;
    Message message(length);
    auto [error, size] = co_await asio::async_read(socket, asio::buffer(message), kNoThrow);
    if (error) co_return std::nullopt;
    co_return message;
}

awaitable<bool> writeFramed(tcp::socket& socket, std::span<const std::uint8_t> message) {
    const std::array<std::uint8_t, 2> prefix{static_cast<std::uint8_t>(message.size() >> 8),
                                             static_cast<std::uint8_t>(message.size() & 0xff)};
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(prefix),
                                                    asio::buffer(message.data(), message.size())};
    auto [error, size] = co_await asio::async_write(socket, buffers, kNoThrow);
    co_return !error;
}

}  // namespace

struct DnsForwarder::Runtime {
    explicit Runtime(const Options& given) : options(given), upstream(given.upstream) {}

    void bind(const asio::ip::address& address, std::uint16_t port);
    DnsUpstream currentUpstream() {
        const std::lock_guard lock(upstreamMutex);
        return upstream;
    }

    awaitable<void> serveUdp();
    awaitable<void> answerUdp(Message query, udp::endpoint client);
    awaitable<void> acceptTcp();
    awaitable<void> serveTcpClient(tcp::socket socket);
    // The answer for `query` with the client's id, or SERVFAIL.
    awaitable<Message> forward(Message query, bool overTcp);
    awaitable<std::optional<Message>> exchange(std::span<const std::uint8_t> query,
                                               DnsUpstream target, bool overTcp);
    awaitable<std::optional<Message>> exchangeUdp(std::span<const std::uint8_t> query,
                                                  const DnsUpstream& target);
    awaitable<std::optional<Message>> exchangeTcp(std::span<const std::uint8_t> query,
                                                  const DnsUpstream& target);
    std::uint16_t freshId() { return static_cast<std::uint16_t>(random()); }

    // The io_context first: it outlives the sockets, and its destructor disposes of the
    // coroutines still suspended when the forwarder stops.
    asio::io_context io{1};
    udp::socket udpListener{io};
    tcp::acceptor tcpAcceptor{io};
    const Options options;
    std::mutex upstreamMutex;
    DnsUpstream upstream;  // guarded by upstreamMutex
    // The rest belongs to the io thread.
    std::size_t inFlight = 0;
    std::size_t tcpClients = 0;
    std::mt19937 random{std::random_device{}()};
};

void DnsForwarder::Runtime::bind(const asio::ip::address& address, std::uint16_t port) {
    // With port 0 the kernel picks the UDP port, and TCP follows; should that port be taken for
    // TCP, a few more tries find one that is free for both.
    constexpr int kTries = 16;
    for (int attempt = 1;; ++attempt) {
        udpListener = udp::socket(io);
        tcpAcceptor = tcp::acceptor(io);
        udpListener.open(udp::endpoint(address, port).protocol());
        udpListener.bind(udp::endpoint(address, port));
        const std::uint16_t bound = udpListener.local_endpoint().port();
        tcpAcceptor.open(tcp::endpoint(address, bound).protocol());
        tcpAcceptor.set_option(tcp::acceptor::reuse_address(true));
        asio::error_code error;
        tcpAcceptor.bind(tcp::endpoint(address, bound), error);
        if (!error) break;
        if (port != 0 || attempt == kTries) throw std::system_error(error, "bind DNS TCP listener");
    }
    tcpAcceptor.listen(asio::socket_base::max_listen_connections);
    // Answers go out with a plain send_to: a full socket buffer drops the answer as the network
    // would, instead of stalling every other client behind it.
    udpListener.non_blocking(true);
}

awaitable<void> DnsForwarder::Runtime::serveUdp() {
    Message buffer(dns::kMaxMessageSize);
    for (;;) {
        udp::endpoint client;
        auto [error, size] =
            co_await udpListener.async_receive_from(asio::buffer(buffer), client, kNoThrow);
        if (error == asio::error::operation_aborted || !udpListener.is_open()) co_return;
        if (error) continue;
        const std::span<const std::uint8_t> query(buffer.data(), size);
        if (!dns::querySize(query) || inFlight >= options.maxInFlight) continue;
        asio::co_spawn(io, answerUdp(Message(query.begin(), query.end()), client), asio::detached);
    }
}

awaitable<void> DnsForwarder::Runtime::answerUdp(Message query, udp::endpoint client) {
    const Message answer = co_await forward(std::move(query), false);
    asio::error_code ignored;
    udpListener.send_to(asio::buffer(answer), client, 0, ignored);
}

awaitable<void> DnsForwarder::Runtime::acceptTcp() {
    for (;;) {
        auto [error, socket] = co_await tcpAcceptor.async_accept(kNoThrow);
        if (error == asio::error::operation_aborted || !tcpAcceptor.is_open()) co_return;
        if (error || tcpClients >= options.maxTcpClients) continue;
        asio::co_spawn(io, serveTcpClient(std::move(socket)), asio::detached);
    }
}

awaitable<void> DnsForwarder::Runtime::serveTcpClient(tcp::socket socket) {
    ++tcpClients;
    // One query at a time per connection, each within the idle time-out; junk or a stall ends it.
    for (;;) {
        asio::steady_timer idle(io, options.tcpIdleTimeout);
        auto read = co_await (readFramed(socket) || idle.async_wait(kNoThrow));
        if (read.index() != 0) break;
        auto query = std::get<0>(std::move(read));
        if (!query || !dns::querySize(*query)) break;
        const Message answer = co_await forward(std::move(*query), true);
        if (!co_await writeFramed(socket, answer)) break;
    }
    --tcpClients;
}

awaitable<Message> DnsForwarder::Runtime::forward(Message query, bool overTcp) {
    ++inFlight;
    asio::steady_timer deadline(io, options.queryTimeout);
    auto result =
        co_await (exchange(query, currentUpstream(), overTcp) || deadline.async_wait(kNoThrow));
    --inFlight;
    if (result.index() == 0 && std::get<0>(result)) {
        Message answer = std::move(*std::get<0>(result));
        dns::setMessageId(answer, *dns::messageId(query));
        co_return answer;
    }
    co_return dns::servfailFor(query);
}

awaitable<std::optional<Message>> DnsForwarder::Runtime::exchange(
    std::span<const std::uint8_t> query, DnsUpstream target, bool overTcp) {
    if (overTcp) co_return co_await exchangeTcp(query, target);
    auto answer = co_await exchangeUdp(query, target);
    if (!answer || !dns::isTruncated(*answer)) co_return answer;
    // The whole answer over TCP, unless it is too big for the client's datagrams after all: then
    // the truncated one tells the client to ask us over TCP itself.
    auto full = co_await exchangeTcp(query, target);
    if (full && full->size() <= dns::udpPayloadLimit(query)) co_return full;
    co_return answer;
}

awaitable<std::optional<Message>> DnsForwarder::Runtime::exchangeUdp(
    std::span<const std::uint8_t> query, const DnsUpstream& target) {
    // A socket per query: the kernel gives it a random source port, and being connected it
    // hears only the upstream. Together with the random id that makes a spoofed answer a guess
    // of about 32 bits.
    udp::socket socket(io);
    const udp::endpoint server(target.address, target.port);
    asio::error_code error;
    socket.open(server.protocol(), error);
    if (!error) socket.connect(server, error);
    if (error) co_return std::nullopt;

    const std::uint16_t id = freshId();
    Message sent(query.begin(), query.end());
    dns::setMessageId(sent, id);
    auto [sendError, sentSize] = co_await socket.async_send(asio::buffer(sent), kNoThrow);
    if (sendError) co_return std::nullopt;

    Message buffer(dns::kMaxMessageSize);
    for (;;) {
        // A refused port (ICMP) ends the exchange at once; a stray datagram is ignored.
        auto [receiveError, size] = co_await socket.async_receive(asio::buffer(buffer), kNoThrow);
        if (receiveError) co_return std::nullopt;
        const std::span<const std::uint8_t> reply(buffer.data(), size);
        if (dns::isResponse(reply) && dns::messageId(reply) == id) {
            buffer.resize(size);
            co_return buffer;
        }
    }
}

awaitable<std::optional<Message>> DnsForwarder::Runtime::exchangeTcp(
    std::span<const std::uint8_t> query, const DnsUpstream& target) {
    tcp::socket socket(io);
    auto [connectError] =
        co_await socket.async_connect(tcp::endpoint(target.address, target.port), kNoThrow);
    if (connectError) co_return std::nullopt;
    const std::uint16_t id = freshId();
    Message sent(query.begin(), query.end());
    dns::setMessageId(sent, id);
    if (!co_await writeFramed(socket, sent)) co_return std::nullopt;
    auto reply = co_await readFramed(socket);
    if (!reply || !dns::isResponse(*reply) || dns::messageId(*reply) != id) co_return std::nullopt;
    co_return reply;
}

DnsForwarder::DnsForwarder(Options options) : options_(std::move(options)) {}

DnsForwarder::~DnsForwarder() {
    stop();
}

void DnsForwarder::start() {
    const std::lock_guard lock(mutex_);
    if (runtime_) return;
    auto runtime = std::make_unique<Runtime>(options_);
    runtime->bind(options_.listenAddress, options_.listenPort);
    port_ = runtime->udpListener.local_endpoint().port();
    asio::co_spawn(runtime->io, runtime->serveUdp(), asio::detached);
    asio::co_spawn(runtime->io, runtime->acceptTcp(), asio::detached);
    thread_ = std::thread([io = &runtime->io] {
        // A handler that throws (out of memory, say) costs that query, not the forwarder.
        for (;;) {
            try {
                io->run();
                return;
            } catch (...) {
            }
        }
    });
    runtime_ = std::move(runtime);
}

void DnsForwarder::stop() {
    const std::lock_guard lock(mutex_);
    if (!runtime_) return;
    runtime_->io.stop();
    thread_.join();
    runtime_.reset();
    port_ = 0;
}

bool DnsForwarder::running() const {
    const std::lock_guard lock(mutex_);
    return runtime_ != nullptr;
}

std::uint16_t DnsForwarder::port() const {
    const std::lock_guard lock(mutex_);
    return port_;
}

void DnsForwarder::setUpstream(const DnsUpstream& upstream) {
    const std::lock_guard lock(mutex_);
    options_.upstream = upstream;
    if (runtime_) {
        const std::lock_guard runtimeLock(runtime_->upstreamMutex);
        runtime_->upstream = upstream;
    }
}

DnsUpstream DnsForwarder::upstream() const {
    const std::lock_guard lock(mutex_);
    return options_.upstream;
}

}  // namespace nimbra::nimbrad
