#include "nimbrad/dns_forwarder.hpp"

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "nimbrad/dns_client_loads.hpp"
#include "nimbrad/dns_message.hpp"
#include "nimbrad/dns_sockets.hpp"
#include "nimbrad/doh_client.hpp"

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

    // UDP clients go through callbacks, not a coroutine per query: the listener and every
    // upstream socket keep one receive outstanding, and a query in flight is a slot in a table.
    void startUdp();
    void waitForQueries();
    void acceptQuery(std::span<const std::uint8_t> query, const udp::endpoint& client);
    void forwardUdpOverDoh(std::span<const std::uint8_t> query, const udp::endpoint& client,
                           const DnsUpstream& target);
    // The client for DoH upstreams, made when the first one is used.
    DohClient& dohClient();
    awaitable<std::optional<Message>> exchangeDoh(Message query, const DnsUpstream& target);
    struct UpstreamSocket;
    UpstreamSocket* upstreamSocketFor(const DnsUpstream& target,
                                      std::chrono::steady_clock::time_point now);
    void openUpstreamSocket(std::size_t index, const DnsUpstream& target,
                            std::chrono::steady_clock::time_point now);
    void retire(std::size_t index);
    void waitForAnswers(const std::shared_ptr<UpstreamSocket>& socket);
    void acceptAnswer(UpstreamSocket& socket, std::span<std::uint8_t> reply);
    void failAllOn(UpstreamSocket& socket);
    // Answers the client of pending slot `slot` and frees the slot.
    void finish(std::uint32_t slot, std::span<std::uint8_t> answer);
    void release(std::uint32_t slot);
    void armDeadline();
    void expire();
    awaitable<void> refetchOverTcp(Message query, udp::endpoint client, Message truncated,
                                   DnsUpstream target,
                                   std::chrono::steady_clock::time_point deadline);

    awaitable<void> acceptTcp();
    awaitable<void> serveTcpClient(tcp::socket socket);
    // The answer for `query` with the client's id, or SERVFAIL.
    awaitable<Message> forward(Message query);
    awaitable<std::optional<Message>> exchangeTcp(std::span<const std::uint8_t> query,
                                                  const DnsUpstream& target);
    std::uint16_t freshId() { return static_cast<std::uint16_t>(random()); }
    bool pointsAtItself(const DnsUpstream& target) const;
    // Makes room for one more UDP query when the budget is spent; false when there is none.
    bool makeRoom();

    // A few upstream sockets shared by all UDP queries. Each one has a source port of its own
    // from the kernel and is replaced after kQueriesPerSocket queries or kSocketLifetime, and
    // every query picks one at random, so the port an answer must hit stays unpredictable while
    // no query pays for a socket of its own. With the random id that still makes a spoofed answer
    // a guess of about 32 bits, and it must carry the question too.
    static constexpr std::size_t kPoolSize = 8;
    static constexpr std::uint32_t kQueriesPerSocket = 128;
    static constexpr std::chrono::seconds kSocketLifetime{10};

    struct UpstreamSocket {
        explicit UpstreamSocket(asio::io_context& io) : socket(io) {}
        udp::socket socket;
        DnsUpstream target;
        std::chrono::steady_clock::time_point opened;
        std::uint32_t sent = 0;
        std::uint32_t pending = 0;
        bool retired = false;
        // Left uninitialised: the kernel writes it, and untouched pages cost nothing.
        std::unique_ptr<std::uint8_t[]> buffer =
            std::make_unique_for_overwrite<std::uint8_t[]>(dns::kMaxMessageSize);
    };

    // A UDP query waiting for its answer, found by the id it went upstream with.
    struct Pending {
        Message query;  // as the client sent it, client id included
        udp::endpoint client;
        UpstreamSocket* socket = nullptr;
        std::chrono::steady_clock::time_point deadline;
        std::uint32_t generation = 0;  // tells a reused slot from the one a deadline was set for
        std::uint16_t upstreamId = 0;
        bool busy = false;
    };
    static constexpr std::int32_t kNoSlot = -1;

    // The io_context first: it outlives the sockets, and its destructor disposes of the
    // coroutines and handlers still pending when the forwarder stops.
    asio::io_context io{1};
    udp::socket udpListener{io};
    tcp::acceptor tcpAcceptor{io};
    asio::steady_timer deadlineTimer{io};
    const Options options;
    udp::endpoint self;  // where the listeners are bound
    std::mutex upstreamMutex;
    DnsUpstream upstream;  // guarded by upstreamMutex
    // The rest belongs to the io thread.
    std::size_t inFlight = 0;
    DnsClientLoads loads;  // the UDP slots in flight, by client
    std::size_t tcpClients = 0;
    std::mt19937 random{std::random_device{}()};
    std::array<std::shared_ptr<UpstreamSocket>, kPoolSize> pool;
    std::list<std::shared_ptr<UpstreamSocket>> retiredSockets;  // closed once their queries end
    std::vector<Pending> slots;
    std::vector<std::uint32_t> freeSlots;
    std::vector<std::int32_t> slotById = std::vector<std::int32_t>(65536, kNoSlot);
    // Slots in the order they were sent, which is also the order of their deadlines.
    std::deque<std::pair<std::uint32_t, std::uint32_t>> deadlines;
    bool deadlineArmed = false;
    Message queryBuffer = Message(dns::kMaxMessageSize);
    udp::endpoint queryClient;
    // Destroyed before the io_context: its thread posts answers there until it is joined.
    std::unique_ptr<DohClient> doh;
};

void DnsForwarder::Runtime::bind(const asio::ip::address& address, std::uint16_t port) {
    // With port 0 the kernel picks the UDP port, and TCP follows; should that port be taken for
    // TCP, a few more tries find one that is free for both.
    constexpr int kTries = 16;
    for (int attempt = 1;; ++attempt) {
        udpListener = udp::socket(io);
        tcpAcceptor = tcp::acceptor(io);
        asio::error_code error;
        openCloseOnExec(udpListener, udp::endpoint(address, port).protocol(), error);
        if (error) throw std::system_error(error, "open DNS UDP listener");
        udpListener.bind(udp::endpoint(address, port));
        const std::uint16_t bound = udpListener.local_endpoint().port();
        openCloseOnExec(tcpAcceptor, tcp::endpoint(address, bound).protocol(), error);
        if (error) throw std::system_error(error, "open DNS TCP listener");
        tcpAcceptor.set_option(tcp::acceptor::reuse_address(true));
        tcpAcceptor.bind(tcp::endpoint(address, bound), error);
        if (!error) break;
        if (port != 0 || attempt == kTries) throw std::system_error(error, "bind DNS TCP listener");
    }
    tcpAcceptor.listen(asio::socket_base::max_listen_connections);
    tcpAcceptor.non_blocking(true);  // acceptCloseOnExec's accept4 must not block the thread
    self = udp::endpoint(address, udpListener.local_endpoint().port());
    // Answers go out with a plain send_to: a full socket buffer drops the answer as the network
    // would, instead of stalling every other client behind it.
    udpListener.non_blocking(true);
}

void DnsForwarder::Runtime::startUdp() {
    slots.reserve(std::min<std::size_t>(options.maxInFlight, 1024));
    waitForQueries();
}

void DnsForwarder::Runtime::waitForQueries() {
    // async_receive_from tries the socket at once and only waits when it is empty, so a busy
    // listener costs one system call per query.
    udpListener.async_receive_from(
        asio::buffer(queryBuffer), queryClient,
        [this](const asio::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted || !udpListener.is_open()) return;
            if (!error)
                acceptQuery(std::span<const std::uint8_t>(queryBuffer.data(), size), queryClient);
            waitForQueries();
        });
}

void DnsForwarder::Runtime::acceptQuery(std::span<const std::uint8_t> query,
                                        const udp::endpoint& client) {
    if (!dns::querySize(query) || !makeRoom()) return;
    const DnsUpstream target = currentUpstream();
    if (target.isDoh()) {
        forwardUdpOverDoh(query, client, target);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    UpstreamSocket* socket = upstreamSocketFor(target, now);
    if (!socket) {
        const Message failed = dns::servfailFor(query);
        asio::error_code ignored;
        udpListener.send_to(asio::buffer(failed), client, 0, ignored);
        return;
    }
    // An id no other query in flight uses, so that each answer has exactly one place to go.
    std::uint16_t id = freshId();
    while (slotById[id] != kNoSlot) id = freshId();

    std::uint32_t slot = 0;
    if (freeSlots.empty()) {
        slot = static_cast<std::uint32_t>(slots.size());
        slots.emplace_back();
    } else {
        slot = freeSlots.back();
        freeSlots.pop_back();
    }
    Pending& pending = slots[slot];
    pending.query.assign(query.begin(), query.end());
    pending.client = client;
    pending.socket = socket;
    pending.deadline = now + options.queryTimeout;
    pending.upstreamId = id;
    pending.busy = true;
    slotById[id] = static_cast<std::int32_t>(slot);
    loads.add(slot, client);
    ++socket->pending;
    ++socket->sent;
    ++inFlight;
    deadlines.emplace_back(slot, pending.generation);

    // The id goes upstream in place of the client's and back into the query right after.
    const std::uint16_t clientId = *dns::messageId(pending.query);
    dns::setMessageId(pending.query, id);
    asio::error_code error;
    socket->socket.send(asio::buffer(pending.query), 0, error);
    dns::setMessageId(pending.query, clientId);
    if (error) {
        Message failed = dns::servfailFor(pending.query);
        finish(slot, failed);
        return;
    }
    armDeadline();
}

bool DnsForwarder::Runtime::makeRoom() {
    // Ids must stay unique among the queries in flight, so never more of them than ids by far.
    constexpr std::size_t kIdLimit = 49152;
    if (inFlight < std::min(options.maxInFlight, kIdLimit)) return true;
    // The client holding most of the budget gives up its oldest query, unanswered as a resolver
    // under a flood would leave it: turning newcomers away instead would let one client that
    // floods a slow upstream silence every other program on the machine.
    const auto victim = loads.oldestOfHeaviest();
    if (!victim) return false;
    release(*victim);
    return true;
}

bool DnsForwarder::Runtime::pointsAtItself(const DnsUpstream& target) const {
    // Such an upstream would hand every query back to the forwarder, which would forward it
    // again, until every slot is taken; its queries fail at once instead.
    if (target.isDoh() || target.port != self.port()) return false;
    asio::ip::address address = target.address;
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address == self.address() || address.is_unspecified();
}

void DnsForwarder::Runtime::forwardUdpOverDoh(std::span<const std::uint8_t> query,
                                              const udp::endpoint& client,
                                              const DnsUpstream& target) {
    ++inFlight;
    // The DoH client times the query out itself, with the same time-out.
    dohClient().exchange(
        target, Message(query.begin(), query.end()),
        [this, client,
         query = Message(query.begin(), query.end())](std::optional<Message> answer) mutable {
            asio::post(io, [this, client, query = std::move(query),
                            answer = std::move(answer)]() mutable {
                --inFlight;
                Message reply = !answer ? dns::servfailFor(query)
                                : answer->size() > dns::udpPayloadLimit(query)
                                    ? dns::truncatedFor(query)  // the client asks again over TCP
                                    : std::move(*answer);
                asio::error_code ignored;
                udpListener.send_to(asio::buffer(reply), client, 0, ignored);
            });
        });
}

DohClient& DnsForwarder::Runtime::dohClient() {
    if (!doh) {
        doh = std::make_unique<DohClient>(
            DohClient::Options{.timeout = options.queryTimeout, .caFile = options.dohCaFile});
    }
    return *doh;
}

awaitable<std::optional<Message>> DnsForwarder::Runtime::exchangeDoh(Message query,
                                                                     const DnsUpstream& target) {
    auto initiate = [this, &target](auto handler, Message sent) {
        // The handler is move-only and the DoH client's callback a std::function.
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        dohClient().exchange(target, std::move(sent),
                             [this, shared](std::optional<Message> answer) {
                                 asio::post(io, [shared, answer = std::move(answer)]() mutable {
                                     (*shared)(std::move(answer));
                                 });
                             });
    };
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable),
                                            void(std::optional<Message>)>(
        initiate, asio::use_awaitable, std::move(query));
}

DnsForwarder::Runtime::UpstreamSocket* DnsForwarder::Runtime::upstreamSocketFor(
    const DnsUpstream& target, std::chrono::steady_clock::time_point now) {
    const std::size_t index = std::uniform_int_distribution<std::size_t>(0, kPoolSize - 1)(random);
    const auto& current = pool[index];
    if (!current || current->target != target || current->sent >= kQueriesPerSocket ||
        now - current->opened >= kSocketLifetime) {
        openUpstreamSocket(index, target, now);
    }
    return pool[index] ? pool[index].get() : nullptr;
}

void DnsForwarder::Runtime::openUpstreamSocket(std::size_t index, const DnsUpstream& target,
                                               std::chrono::steady_clock::time_point now) {
    retire(index);
    auto fresh = std::make_shared<UpstreamSocket>(io);
    // Connected, it hears only the upstream; the kernel picks a random source port.
    const udp::endpoint server(target.address, target.port);
    asio::error_code error;
    if (pointsAtItself(target)) return;
    openCloseOnExec(fresh->socket, server.protocol(), error);
    if (!error) fresh->socket.connect(server, error);
    if (!error) fresh->socket.non_blocking(true, error);
    if (error) return;
    fresh->target = target;
    fresh->opened = now;
    pool[index] = fresh;
    waitForAnswers(fresh);
}

void DnsForwarder::Runtime::retire(std::size_t index) {
    auto old = std::move(pool[index]);
    pool[index].reset();
    if (!old) return;
    old->retired = true;
    // It keeps listening for the answers still owed to it and closes with the last one.
    if (old->pending == 0) {
        old->socket.close();
    } else {
        retiredSockets.push_back(std::move(old));
    }
}

void DnsForwarder::Runtime::waitForAnswers(const std::shared_ptr<UpstreamSocket>& socket) {
    socket->socket.async_receive(
        asio::buffer(socket->buffer.get(), dns::kMaxMessageSize),
        [this, socket](const asio::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted || !socket->socket.is_open()) return;
            if (error == asio::error::connection_refused) {
                // The upstream's port is closed (ICMP): every query on this socket fails at
                // once instead of waiting for its time-out.
                failAllOn(*socket);
            } else if (!error) {
                acceptAnswer(*socket, std::span<std::uint8_t>(socket->buffer.get(), size));
            }
            if (socket->socket.is_open()) waitForAnswers(socket);
        });
}

void DnsForwarder::Runtime::acceptAnswer(UpstreamSocket& socket, std::span<std::uint8_t> reply) {
    // Only an answer with the id, the socket and the question of a query in flight counts; a
    // stray or spoofed datagram is dropped.
    if (!dns::isResponse(reply)) return;
    const std::int32_t slot = slotById[*dns::messageId(reply)];
    if (slot == kNoSlot) return;
    Pending& pending = slots[static_cast<std::uint32_t>(slot)];
    if (pending.socket != &socket || !dns::answersQuestionOf(reply, pending.query)) return;
    if (!dns::isTruncated(reply)) {
        finish(static_cast<std::uint32_t>(slot), reply);
        return;
    }
    // The whole answer over TCP: rare enough for a coroutine of its own.
    asio::co_spawn(
        io,
        refetchOverTcp(pending.query, pending.client, Message(reply.begin(), reply.end()),
                       socket.target, pending.deadline),
        asio::detached);
    release(static_cast<std::uint32_t>(slot));
}

void DnsForwarder::Runtime::failAllOn(UpstreamSocket& socket) {
    for (std::uint32_t slot = 0; slot < slots.size() && socket.pending > 0; ++slot) {
        if (slots[slot].busy && slots[slot].socket == &socket) {
            Message failed = dns::servfailFor(slots[slot].query);
            finish(slot, failed);
        }
    }
}

void DnsForwarder::Runtime::finish(std::uint32_t slot, std::span<std::uint8_t> answer) {
    const Pending& pending = slots[slot];
    dns::setMessageId(answer, *dns::messageId(pending.query));
    asio::error_code ignored;
    udpListener.send_to(asio::buffer(answer.data(), answer.size()), pending.client, 0, ignored);
    release(slot);
}

void DnsForwarder::Runtime::release(std::uint32_t slot) {
    Pending& pending = slots[slot];
    slotById[pending.upstreamId] = kNoSlot;
    loads.remove(slot);
    pending.busy = false;
    ++pending.generation;
    --inFlight;
    UpstreamSocket* socket = pending.socket;
    pending.socket = nullptr;
    freeSlots.push_back(slot);
    if (--socket->pending == 0 && socket->retired) {
        socket->socket.close();
        retiredSockets.remove_if([socket](const auto& held) { return held.get() == socket; });
    }
}

void DnsForwarder::Runtime::armDeadline() {
    // One timer for all UDP queries, set for the oldest one's deadline.
    while (!deadlines.empty() &&
           slots[deadlines.front().first].generation != deadlines.front().second)
        deadlines.pop_front();
    if (deadlineArmed || deadlines.empty()) return;
    deadlineArmed = true;
    deadlineTimer.expires_at(slots[deadlines.front().first].deadline);
    deadlineTimer.async_wait([this](const asio::error_code& error) {
        deadlineArmed = false;
        if (error) return;
        expire();
    });
}

void DnsForwarder::Runtime::expire() {
    const auto now = std::chrono::steady_clock::now();
    while (!deadlines.empty()) {
        const auto [slot, generation] = deadlines.front();
        const Pending& pending = slots[slot];
        if (pending.generation == generation && pending.deadline > now) break;
        deadlines.pop_front();
        if (pending.generation != generation) continue;
        // No answer in time: SERVFAIL rather than silence.
        Message failed = dns::servfailFor(pending.query);
        finish(slot, failed);
    }
    armDeadline();
}

awaitable<void> DnsForwarder::Runtime::refetchOverTcp(
    Message query, udp::endpoint client, Message truncated, DnsUpstream target,
    std::chrono::steady_clock::time_point deadline) {
    ++inFlight;
    asio::steady_timer timer(io, deadline);
    auto result = co_await (exchangeTcp(query, target) || timer.async_wait(kNoThrow));
    --inFlight;
    Message answer = std::move(truncated);
    if (result.index() == 0) {
        auto& full = std::get<0>(result);
        // Too big for the client's datagrams after all: then the truncated answer tells the
        // client to ask us over TCP itself.
        if (full && full->size() <= dns::udpPayloadLimit(query)) answer = std::move(*full);
    } else {
        answer = dns::servfailFor(query);
    }
    dns::setMessageId(answer, *dns::messageId(query));
    asio::error_code ignored;
    udpListener.send_to(asio::buffer(answer), client, 0, ignored);
}

awaitable<void> DnsForwarder::Runtime::acceptTcp() {
    for (;;) {
        auto [error, socket] = co_await acceptCloseOnExec(tcpAcceptor);
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
        const Message answer = co_await forward(std::move(*query));
        if (!co_await writeFramed(socket, answer)) break;
    }
    --tcpClients;
}

awaitable<Message> DnsForwarder::Runtime::forward(Message query) {
    const DnsUpstream target = currentUpstream();
    if (target.isDoh()) {
        ++inFlight;
        auto answer = co_await exchangeDoh(query, target);
        --inFlight;
        co_return answer ? std::move(*answer) : dns::servfailFor(query);
    }
    ++inFlight;
    asio::steady_timer deadline(io, options.queryTimeout);
    auto result = co_await (exchangeTcp(query, target) || deadline.async_wait(kNoThrow));
    --inFlight;
    if (result.index() == 0 && std::get<0>(result)) {
        Message answer = std::move(*std::get<0>(result));
        dns::setMessageId(answer, *dns::messageId(query));
        co_return answer;
    }
    co_return dns::servfailFor(query);
}

awaitable<std::optional<Message>> DnsForwarder::Runtime::exchangeTcp(
    std::span<const std::uint8_t> query, const DnsUpstream& target) {
    tcp::socket socket(io);
    asio::error_code openError;
    if (pointsAtItself(target)) co_return std::nullopt;
    openCloseOnExec(socket, tcp::endpoint(target.address, target.port).protocol(), openError);
    if (openError) co_return std::nullopt;
    auto [connectError] =
        co_await socket.async_connect(tcp::endpoint(target.address, target.port), kNoThrow);
    if (connectError) co_return std::nullopt;
    const std::uint16_t id = freshId();
    Message sent(query.begin(), query.end());
    dns::setMessageId(sent, id);
    if (!co_await writeFramed(socket, sent)) co_return std::nullopt;
    auto reply = co_await readFramed(socket);
    if (!reply || !dns::isResponse(*reply) || dns::messageId(*reply) != id ||
        !dns::answersQuestionOf(*reply, query))
        co_return std::nullopt;
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
    runtime->startUdp();
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
