#include "nimbrad/dns_forwarder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.hpp"
#include "nimbrad/dns_message.hpp"
#include "nimbrad/dns_upstream.hpp"
#include "support/dns_packets.hpp"
#include "support/dns_standin/dns_standin_process.hpp"

namespace nimbra::nimbrad {
namespace {

using namespace std::chrono_literals;
using testing::dnsAnswer;
using testing::dnsQuery;
using testing::DnsReply;
using testing::DnsStandinProcess;
using testing::readDnsReply;
using Bytes = std::vector<std::uint8_t>;

constexpr int kServfail = 2;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket whose reads give up after `timeout`, so that a lost answer fails the test instead of
// hanging it. Close-on-exec like everything the forwarder opens, so that the test for that
// finds only the forwarder's own.
UniqueFd clientSocket(int type, std::chrono::milliseconds timeout = 5s) {
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    const timeval tv{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

void sendUdp(int fd, std::uint16_t port, const Bytes& bytes) {
    const auto to = loopback(port);
    ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(bytes.size()));
}

std::optional<Bytes> receiveUdp(int fd) {
    Bytes buffer(65536);
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
}

DnsReply askUdp(std::uint16_t port, std::uint16_t id) {
    const UniqueFd fd = clientSocket(SOCK_DGRAM);
    sendUdp(fd.get(), port, dnsQuery(id));
    const auto reply = receiveUdp(fd.get());
    return reply ? readDnsReply(*reply) : DnsReply{};
}

UniqueFd connectTcp(std::uint16_t port) {
    UniqueFd fd = clientSocket(SOCK_STREAM);
    const auto to = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return {};
    return fd;
}

bool sendFramed(int fd, Bytes message) {
    message.insert(message.begin(), {static_cast<std::uint8_t>(message.size() >> 8),
                                     static_cast<std::uint8_t>(message.size())});
    return ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
}

// A whole framed message; nothing when the peer closes or the read times out first.
std::optional<Bytes> readFramed(int fd) {
    std::array<std::uint8_t, 2> prefix{};
    if (::recv(fd, prefix.data(), 2, MSG_WAITALL) != 2) return std::nullopt;
    Bytes message(static_cast<std::size_t>(prefix[0] << 8 | prefix[1]));
    const ssize_t got = ::recv(fd, message.data(), message.size(), MSG_WAITALL);
    if (got != static_cast<ssize_t>(message.size())) return std::nullopt;
    return message;
}

DnsReply askTcp(std::uint16_t port, std::uint16_t id) {
    const UniqueFd fd = connectTcp(port);
    if (!sendFramed(fd.get(), dnsQuery(id))) return {};
    const auto reply = readFramed(fd.get());
    return reply ? readDnsReply(*reply) : DnsReply{};
}

// One query over UDP and one over TCP: each reply carries its own id, and `address` (or no
// address and `rcode`).
void expectAnswered(std::uint16_t port, std::uint16_t id, const std::string& address,
                    int rcode = 0) {
    for (const DnsReply& reply : {askUdp(port, id), askTcp(port, id)}) {
        EXPECT_EQ(reply.id, id);
        EXPECT_EQ(reply.rcode, rcode);
        EXPECT_EQ(reply.address, address);
    }
}

DnsUpstream upstreamAt(std::uint16_t port) {
    return {asio::ip::make_address("127.0.0.1"), port};
}

// The test CA that signed the stand-in's certificate (for localhost, 127.0.0.1 and a few
// provider names).
std::string testCaFile() {
    return std::string(NIMBRA_SOURCE_DIR) + "/tests/support/trace_server/certs/ca.pem";
}

// A DoH upstream on the stand-in under a name the certificate carries, pinned to loopback: no
// lookup of that name ever happens.
DnsUpstream dohAt(std::uint16_t port, const std::string& host = "www.cloudflare.com",
                  bool pin = true) {
    DnsUpstream upstream =
        *DnsUpstream::parse("https://" + host + ":" + std::to_string(port) + "/dns-query");
    if (pin) upstream.pinned = {asio::ip::make_address("127.0.0.1")};
    return upstream;
}

DnsForwarder::Options optionsFor(const DnsUpstream& upstream,
                                 std::chrono::milliseconds timeout = 5s) {
    DnsForwarder::Options options;
    options.listenPort = 0;
    options.upstream = upstream;
    options.queryTimeout = timeout;
    options.dohCaFile = testCaFile();
    return options;
}

// The test plays the upstream itself, on UDP and TCP at one port: it sees what the forwarder
// sends and answers as it likes, or not at all.
struct FakeUpstream {
    UniqueFd udp;
    UniqueFd tcp;
    std::uint16_t port = 0;

    FakeUpstream() {
        // The kernel picks the UDP port; should TCP have it taken, another try finds one.
        while (!tcp.valid()) {
            udp = clientSocket(SOCK_DGRAM);
            auto address = loopback(0);
            socklen_t size = sizeof address;
            ::bind(udp.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
            ::getsockname(udp.get(), reinterpret_cast<sockaddr*>(&address), &size);
            port = ntohs(address.sin_port);
            UniqueFd listener = clientSocket(SOCK_STREAM);
            if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address),
                       sizeof address) == 0 &&
                ::listen(listener.get(), 16) == 0)
                tcp = std::move(listener);
        }
    }
    // The next UDP query and the port it came from; empty when none comes.
    std::pair<Bytes, std::uint16_t> receive() {
        Bytes buffer(65536);
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = ::recvfrom(udp.get(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &size);
        buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return {buffer, ntohs(from.sin_port)};
    }
    void answer(const Bytes& reply, std::uint16_t toPort) { sendUdp(udp.get(), toPort, reply); }
    // The forwarder's next TCP connection and the query read from it.
    std::pair<UniqueFd, Bytes> acceptQuery() {
        UniqueFd connection(::accept4(tcp.get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::optional<Bytes> query;
        if (connection.valid()) query = readFramed(connection.get());
        return {std::move(connection), query.value_or(Bytes{})};
    }
};

bool sameQuestion(const Bytes& a, const Bytes& b) {
    return std::equal(a.begin() + dns::kHeaderSize, a.end(), b.begin() + dns::kHeaderSize, b.end());
}

TEST(DnsMessage, AcceptsOnlySingleQuestionStandardQueries) {
    const Bytes good = dnsQuery(7);
    auto with = [&](std::size_t at, std::uint8_t value) {
        Bytes changed = good;
        changed[at] = value;
        return changed;
    };
    Bytes withOpt = good;  // EDNS: an OPT record with a payload size of 1232
    withOpt[11] = 1;
    withOpt.insert(withOpt.end(), {0, 0, 41, 0x04, 0xd0, 0, 0, 0, 0, 0, 0});
    Bytes pointerName = good;
    pointerName[12] = 0xc0;

    const struct {
        const char* what;
        Bytes message;
        bool accepted;
    } cases[] = {
        {"a plain A query", good, true},
        {"a query with EDNS", withOpt, true},
        {"shorter than a header", Bytes(good.begin(), good.begin() + 11), false},
        {"cut inside the name", Bytes(good.begin(), good.begin() + 16), false},
        {"cut before QCLASS", Bytes(good.begin(), good.end() - 1), false},
        {"a response", with(2, 0x81), false},
        {"opcode NOTIFY", with(2, 0x21), false},
        {"no question", with(5, 0), false},
        {"two questions", with(5, 2), false},
        {"with an answer record", with(7, 1), false},
        {"a compression pointer", pointerName, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dns::querySize(c.message).has_value(), c.accepted) << c.what;
    }
    EXPECT_EQ(dns::querySize(good), good.size());
    EXPECT_EQ(dns::udpPayloadLimit(good), 512u);
    EXPECT_EQ(dns::udpPayloadLimit(withOpt), 1232u);

    const DnsReply servfail = readDnsReply(dns::servfailFor(withOpt));
    EXPECT_EQ(servfail.id, 7);
    EXPECT_EQ(servfail.rcode, kServfail);
    const Bytes failed = dns::servfailFor(withOpt);
    EXPECT_EQ(failed.size(), good.size()) << "question kept, OPT record dropped";
    EXPECT_TRUE(dns::isResponse(failed));
}

// Plain upstreams and DNS-over-HTTPS URLs: what is kept, and what is refused before it is used.
TEST(DnsUpstream, ParsesAddressesWithPortsAndDohUrls) {
    const struct {
        std::string text;
        std::optional<std::string> host;  // nullopt: refused
        std::uint16_t port;
        bool doh;
    } cases[] = {
        {"1.1.1.1", "1.1.1.1", 53, false},
        {"[2606:4700::1111]:853", "2606:4700::1111", 853, false},
        {nextDnsUrl("abc123", "Ann's laptop"), "dns.nextdns.io", 443, true},
        {"https://[2606:4700::1111]:8443/dns-query", "2606:4700::1111", 8443, true},
        {"1.1.1.1:0", std::nullopt, 0, false},
        {"[1.1.1.1]:53", std::nullopt, 0, false},
        {"dns.example", std::nullopt, 0, false},
        {"http://dns.example/dns-query", std::nullopt, 0, true},
        {"https://user@dns.example/", std::nullopt, 0, true},
        {"https://dns.example/a b", std::nullopt, 0, true},
    };
    for (const auto& c : cases) {
        const auto parsed = DnsUpstream::parse(c.text);
        ASSERT_EQ(parsed.has_value(), c.host.has_value()) << c.text;
        if (!parsed) continue;
        EXPECT_EQ(parsed->isDoh(), c.doh) << c.text;
        EXPECT_EQ(c.doh ? parsed->dohHost() : parsed->address.to_string(), *c.host) << c.text;
        EXPECT_EQ(c.doh ? parsed->dohPort() : parsed->port, c.port) << c.text;
        EXPECT_EQ(DnsUpstream::parse(parsed->toString()), parsed) << c.text;
    }
    EXPECT_EQ(nextDnsUrl("abc123", "Ann's laptop"),
              "https://dns.nextdns.io/abc123/Ann%27s%20laptop");
}

TEST(DnsForwarder, AnswersTwoHundredConcurrentQueries) {
    // The delay keeps every query in flight at once.
    DnsStandinProcess standin({.address = "192.0.2.20", .delayMs = 100});
    DnsForwarder forwarder(optionsFor(upstreamAt(standin.port())));
    forwarder.start();

    constexpr int kClients = 200;
    std::vector<UniqueFd> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(clientSocket(SOCK_DGRAM));
        sendUdp(clients.back().get(), forwarder.port(), dnsQuery(static_cast<std::uint16_t>(i)));
    }
    for (int i = 0; i < kClients; ++i) {
        const auto reply = receiveUdp(clients[i].get());
        ASSERT_TRUE(reply) << "client " << i;
        const DnsReply answer = readDnsReply(*reply);
        EXPECT_EQ(answer.id, i);
        EXPECT_EQ(answer.address, "192.0.2.20");
    }
}

TEST(DnsForwarder, AnswersServfailWhenTheUpstreamFails) {
    DnsStandinProcess silent({.drop = true});
    DnsStandinProcess silentDoh({.drop = true, .doh = true});
    DnsStandinProcess untrusted({.doh = true});
    // A port nobody listens on: found by starting a stand-in and stopping it again.
    std::uint16_t closedPort = 0;
    {
        DnsStandinProcess gone;
        closedPort = gone.port();
    }
    const struct {
        const char* what;
        DnsUpstream upstream;
        std::string caFile = testCaFile();
    } cases[] = {
        {"silent upstream", upstreamAt(silent.port())},
        {"refused port", upstreamAt(closedPort)},
        {"DoH server gone", dohAt(closedPort)},
        {"DoH server silent", dohAt(silentDoh.port())},
        {"DoH certificate not trusted", dohAt(untrusted.port()), ""},
        {"DoH host name with no address", dohAt(untrusted.port(), "dns.example.test", false)},
    };
    for (const auto& c : cases) {
        DnsForwarder::Options options = optionsFor(c.upstream, 300ms);
        options.dohCaFile = c.caFile;
        DnsForwarder forwarder(options);
        forwarder.start();
        SCOPED_TRACE(c.what);
        expectAnswered(forwarder.port(), 0x5151, "", kServfail);
    }
}

TEST(DnsForwarder, PassesOnlyTheAnswerThatMatchesAQueryInFlightOverUdpAndTcp) {
    FakeUpstream upstream;
    DnsForwarder forwarder(optionsFor(upstreamAt(upstream.port)));
    forwarder.start();

    const UniqueFd client = clientSocket(SOCK_DGRAM);
    sendUdp(client.get(), forwarder.port(), dnsQuery(0x4242));
    const auto [sent, fromPort] = upstream.receive();
    ASSERT_TRUE(dns::querySize(sent));
    const std::uint16_t id = *dns::messageId(sent);

    Bytes otherName = sent;
    otherName[13] ^= 1;  // a letter of the name
    Bytes otherId = sent;
    dns::setMessageId(otherId, static_cast<std::uint16_t>(id + 1));
    Bytes shouted = sent;  // the same name in other case still matches
    for (std::size_t at = dns::kHeaderSize; at + 5 < shouted.size(); ++at) {
        if (shouted[at] >= 'a' && shouted[at] <= 'z') shouted[at] -= 'a' - 'A';
    }
    const FakeUpstream elsewhere;
    upstream.answer(dnsAnswer(otherName, 1), fromPort);
    upstream.answer(dnsAnswer(otherId, 2), fromPort);
    sendUdp(elsewhere.udp.get(), fromPort, dnsAnswer(sent, 3));  // right answer, wrong source
    upstream.answer(sent, fromPort);                             // the query itself, no answer
    upstream.answer(dnsAnswer(shouted, 4), fromPort);

    const auto reply = receiveUdp(client.get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(readDnsReply(*reply).id, 0x4242);
    EXPECT_EQ(readDnsReply(*reply).address, "192.0.2.4");

    // Over TCP an answer is tied to its query just as strictly, whether the client asked over TCP
    // or a truncated UDP answer sent the forwarder there to fetch the whole one.
    std::uint16_t clientId = 0x3100;
    for (const bool refetch : {false, true}) {
        for (const std::string fault : {"other id", "other question", "none"}) {
            SCOPED_TRACE((refetch ? "refetch after truncation, fault: " : "TCP client, fault: ") +
                         fault);
            ++clientId;
            UniqueFd asker;
            if (refetch) {
                asker = clientSocket(SOCK_DGRAM);
                sendUdp(asker.get(), forwarder.port(), dnsQuery(clientId));
                auto [truncated, toPort] = upstream.receive();
                ASSERT_FALSE(truncated.empty());
                truncated[2] |= 0x82;  // QR and TC: an empty answer that did not fit
                upstream.answer(truncated, toPort);
            } else {
                asker = connectTcp(forwarder.port());
                ASSERT_TRUE(sendFramed(asker.get(), dnsQuery(clientId)));
            }
            const auto [connection, query] = upstream.acceptQuery();
            ASSERT_TRUE(dns::querySize(query));
            Bytes framed = dnsAnswer(query, 7);
            if (fault == "other id")
                dns::setMessageId(framed, static_cast<std::uint16_t>(*dns::messageId(query) + 1));
            if (fault == "other question") framed[13] ^= 1;
            ASSERT_TRUE(sendFramed(connection.get(), framed));

            const auto got = refetch ? receiveUdp(asker.get()) : readFramed(asker.get());
            ASSERT_TRUE(got);
            const DnsReply answer = readDnsReply(*got);
            EXPECT_EQ(answer.id, clientId);
            EXPECT_EQ(answer.address, fault == "none" ? "192.0.2.7" : "");
        }
    }
}

TEST(DnsForwarder, SpreadsQueriesOverChangingIdsAndSourcePorts) {
    FakeUpstream upstream;
    DnsForwarder forwarder(optionsFor(upstreamAt(upstream.port)));
    forwarder.start();

    // Sent one after another with the same client id: the upstream still sees many ids and
    // ports, and the client every answer with its own id.
    std::set<std::uint16_t> ids;
    std::set<std::uint16_t> ports;
    const UniqueFd client = clientSocket(SOCK_DGRAM);
    for (int i = 0; i < 300; ++i) {
        sendUdp(client.get(), forwarder.port(), dnsQuery(0x0101));
        const auto [sent, fromPort] = upstream.receive();
        ASSERT_TRUE(dns::messageId(sent));
        ids.insert(*dns::messageId(sent));
        ports.insert(fromPort);
        upstream.answer(dnsAnswer(sent, 5), fromPort);
        const auto reply = receiveUdp(client.get());
        ASSERT_TRUE(reply) << "query " << i;
        ASSERT_EQ(readDnsReply(*reply).id, 0x0101);
    }
    EXPECT_GT(ids.size(), 250u);
    EXPECT_GT(ports.size(), 2u);
}

// One client sending far more queries than the forwarder keeps in flight, at an upstream too
// slow to keep up, must not leave anyone else unanswered: the flooder's own oldest queries make
// room, whether the other client asked before the flood or in the middle of it.
TEST(DnsForwarder, AFloodingClientCannotCrowdOutAnother) {
    FakeUpstream upstream;  // answers only what the test tells it to
    DnsForwarder::Options options = optionsFor(upstreamAt(upstream.port));
    options.maxInFlight = 8;
    DnsForwarder forwarder(options);
    forwarder.start();

    const UniqueFd flooder = clientSocket(SOCK_DGRAM);
    const UniqueFd other = clientSocket(SOCK_DGRAM);
    const Bytes before = dnsQuery(0x0b01, "before.example.test");
    const Bytes after = dnsQuery(0x0b02, "after.example.test");
    sendUdp(other.get(), forwarder.port(), before);
    for (std::uint16_t id = 0; id < 3 * options.maxInFlight; ++id)
        sendUdp(flooder.get(), forwarder.port(), dnsQuery(id, "flood.example.test"));
    sendUdp(other.get(), forwarder.port(), after);

    // The forwarder takes datagrams in order: once the last one is upstream, the flood has been
    // dealt with, and both of the other client's queries must still be waiting for answers.
    std::vector<std::pair<Bytes, std::uint16_t>> others;
    while (others.size() < 2) {
        auto sent = upstream.receive();
        ASSERT_FALSE(sent.first.empty()) << "a query of the other client never went upstream";
        if (sameQuestion(sent.first, before) || sameQuestion(sent.first, after))
            others.push_back(std::move(sent));
    }
    for (const auto& [sent, fromPort] : others) upstream.answer(dnsAnswer(sent, 9), fromPort);
    for (int i = 0; i < 2; ++i) {
        const auto reply = receiveUdp(other.get());
        ASSERT_TRUE(reply) << "answer " << i;
        EXPECT_EQ(readDnsReply(*reply).address, "192.0.2.9");
    }
}

// An upstream that is the forwarder itself would hand each query back to itself until every
// slot is taken; its clients get SERVFAIL at once instead.
TEST(DnsForwarder, NeverForwardsToItself) {
    DnsForwarder::Options options = optionsFor({}, 60s);
    options.maxInFlight = 64;
    DnsForwarder forwarder(options);
    forwarder.start();
    const std::uint16_t port = forwarder.port();
    for (const char* address : {"127.0.0.1", "0.0.0.0", "::ffff:127.0.0.1"}) {
        SCOPED_TRACE(address);
        forwarder.setUpstream({asio::ip::make_address(address), port});
        expectAnswered(port, 0x10, "", kServfail);
    }
}

// The process's Internet sockets: those that can hold a port or a connection. (Curl's unnamed
// wake-up pair is out of our hands; Subprocess closes everything above stderr in its children.)
std::set<int> internetSockets() {
    std::set<int> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        int domain = 0;
        socklen_t size = sizeof domain;
        if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
            (domain == AF_INET || domain == AF_INET6))
            sockets.insert(fd);
    }
    return sockets;
}

// The daemon's children (usque above all) must not inherit the forwarder's sockets: a child
// holding the listeners would keep port 53 after the daemon let go of it.
TEST(DnsForwarder, EverySocketItOpensIsClosedOnExec) {
    const std::set<int> before = internetSockets();
    FakeUpstream upstream;
    DnsStandinProcess doh({.address = "192.0.2.70", .doh = true});
    DnsForwarder forwarder(optionsFor(upstreamAt(upstream.port)));
    forwarder.start();

    // All kinds at once: the listeners, a UDP query's upstream socket, a TCP client's connection
    // and its query's connection upstream (held open by the test), then DoH's kept connection.
    const UniqueFd udpClient = clientSocket(SOCK_DGRAM);
    sendUdp(udpClient.get(), forwarder.port(), dnsQuery(1));
    ASSERT_FALSE(upstream.receive().first.empty());
    const UniqueFd tcpClient = connectTcp(forwarder.port());
    ASSERT_TRUE(sendFramed(tcpClient.get(), dnsQuery(2)));
    const auto held = upstream.acceptQuery();
    ASSERT_TRUE(held.first.valid());
    forwarder.setUpstream(dohAt(doh.port()));
    ASSERT_EQ(askUdp(forwarder.port(), 3).address, "192.0.2.70");

    for (const int fd : internetSockets()) {
        if (!before.contains(fd)) {
            EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "socket descriptor " << fd;
        }
    }
}

TEST(DnsForwarder, IgnoresGarbageAndKeepsAnswering) {
    DnsStandinProcess standin({.address = "192.0.2.40"});
    DnsForwarder forwarder(optionsFor(upstreamAt(standin.port())));
    forwarder.start();
    const std::uint16_t port = forwarder.port();

    const Bytes query = dnsQuery(9);
    Bytes response = query;
    response[2] |= 0x80;
    const Bytes garbage[] = {{},
                             {0x01},
                             Bytes(11, 0xff),
                             Bytes(512, 0xff),
                             response,
                             Bytes(query.begin(), query.end() - 3)};
    const UniqueFd junk = clientSocket(SOCK_DGRAM, 300ms);
    for (const auto& datagram : garbage) sendUdp(junk.get(), port, datagram);

    // A TCP client that announces the largest message and then stalls, and one that announces
    // less than a header: neither may hold the server up.
    const UniqueFd stalled = connectTcp(port);
    const std::uint8_t huge[] = {0xff, 0xff, 0x12, 0x34, 0x01};
    ASSERT_EQ(::send(stalled.get(), huge, sizeof huge, MSG_NOSIGNAL), 5);
    const UniqueFd tiny = connectTcp(port);
    const std::uint8_t small[] = {0x00, 0x03, 1, 2, 3};
    ASSERT_EQ(::send(tiny.get(), small, sizeof small, MSG_NOSIGNAL), 5);

    expectAnswered(port, 0x7777, "192.0.2.40");
    EXPECT_FALSE(receiveUdp(junk.get())) << "garbage got an answer";
    std::uint8_t byte = 0;
    EXPECT_LE(::recv(tiny.get(), &byte, 1, 0), 0) << "a too-short message closes the connection";
}

// Every kind of upstream answers UDP and TCP clients with their own ids, switched live under one
// listener whose port stays (plain to DoH and back); start and stop are idempotent, a stopped
// forwarder starts again, and a second one refuses the port in use.
TEST(DnsForwarder, AnswersFromEveryKindOfUpstreamSwitchedLive) {
    DnsStandinProcess plain({.address = "192.0.2.10"});
    DnsStandinProcess truncating({.address = "192.0.2.11", .truncate = true});
    DnsStandinProcess doh({.address = "192.0.2.60", .doh = true});
    DnsForwarder forwarder(optionsFor(upstreamAt(plain.port())));
    EXPECT_FALSE(forwarder.running());
    forwarder.stop();
    forwarder.start();
    const std::uint16_t port = forwarder.port();
    forwarder.start();
    EXPECT_EQ(forwarder.port(), port);
    DnsForwarder::Options taken = optionsFor(upstreamAt(plain.port()));
    taken.listenPort = port;  // held for UDP and TCP
    DnsForwarder second(taken);
    EXPECT_THROW(second.start(), std::system_error);
    EXPECT_FALSE(second.running());

    const struct {
        const char* what;
        DnsUpstream upstream;
        const char* address;
    } cases[] = {
        {"plain", upstreamAt(plain.port()), "192.0.2.10"},
        // The truncated UDP answer is fetched again over TCP; the client sees the whole one.
        {"plain, truncating over UDP", upstreamAt(truncating.port()), "192.0.2.11"},
        {"DoH, pinned host name", dohAt(doh.port()), "192.0.2.60"},
        {"plain again", upstreamAt(plain.port()), "192.0.2.10"},
        {"DoH again, IP literal", dohAt(doh.port(), "127.0.0.1", false), "192.0.2.60"},
    };
    std::uint16_t id = 0x1230;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        forwarder.setUpstream(c.upstream);
        EXPECT_EQ(forwarder.upstream(), c.upstream);
        // Twice: DoH queries share the client's connections.
        for (int i = 0; i < 2; ++i) expectAnswered(port, ++id, c.address);
    }
    EXPECT_EQ(forwarder.port(), port);

    forwarder.stop();
    forwarder.stop();
    EXPECT_FALSE(forwarder.running());
    EXPECT_EQ(forwarder.port(), 0);
    forwarder.start();
    EXPECT_TRUE(forwarder.running());
    EXPECT_EQ(askTcp(forwarder.port(), ++id).address, "192.0.2.60");
}

}  // namespace
}  // namespace nimbra::nimbrad
