#include "nimbrad/dns_forwarder.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.hpp"
#include "nimbrad/dns_message.hpp"
#include "nimbrad/dns_upstream.hpp"
#include "support/dns_standin/dns_standin_process.hpp"

namespace nimbra::nimbrad {
namespace {

using namespace std::chrono_literals;
using testing::DnsStandinProcess;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kServfail = 2;

// A query for `name` (dotted) of type A, with RD set.
Bytes makeQuery(std::uint16_t id, const std::string& name = "host.example.test",
                std::uint16_t type = 1) {
    Bytes query(dns::kHeaderSize, 0);
    query[0] = static_cast<std::uint8_t>(id >> 8);
    query[1] = static_cast<std::uint8_t>(id);
    query[2] = 0x01;  // RD
    query[5] = 1;     // one question
    std::size_t start = 0;
    while (start <= name.size()) {
        const auto dot = std::min(name.find('.', start), name.size());
        query.push_back(static_cast<std::uint8_t>(dot - start));
        query.insert(query.end(), name.begin() + start, name.begin() + dot);
        start = dot + 1;
    }
    query.insert(query.end(),
                 {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    return query;
}

struct Answer {
    std::uint16_t id = 0;
    int rcode = -1;
    std::string address;  // the first A record's, if any
};

// Reads the header and, for the stand-in's answers, the one A record after the question.
Answer decode(const Bytes& message) {
    Answer answer;
    if (message.size() < dns::kHeaderSize) return answer;
    answer.id = static_cast<std::uint16_t>(message[0] << 8 | message[1]);
    answer.rcode = message[3] & 0x0f;
    // The question: the name's labels up to the root, then type and class.
    std::size_t at = dns::kHeaderSize;
    while (at < message.size() && message[at] != 0) at += message[at] + 1u;
    const std::size_t question = at + 5;
    if (message[7] >= 1 && message.size() >= question + 16) {
        const std::uint8_t* a = &message[question + 12];
        answer.address = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                         std::to_string(a[2]) + "." + std::to_string(a[3]);
    }
    return answer;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket whose reads give up after `timeout`, so that a lost answer fails the test instead of
// hanging it.
UniqueFd clientSocket(int type, std::chrono::milliseconds timeout = 5s) {
    UniqueFd fd(::socket(AF_INET, type, 0));
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

Answer askUdp(std::uint16_t port, std::uint16_t id) {
    const UniqueFd fd = clientSocket(SOCK_DGRAM);
    sendUdp(fd.get(), port, makeQuery(id));
    const auto reply = receiveUdp(fd.get());
    return reply ? decode(*reply) : Answer{};
}

UniqueFd connectTcp(std::uint16_t port) {
    UniqueFd fd = clientSocket(SOCK_STREAM);
    const auto to = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return {};
    return fd;
}

bool readExact(int fd, std::uint8_t* into, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t got = ::recv(fd, into + done, size - done, 0);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

Answer askTcp(std::uint16_t port, std::uint16_t id) {
    const UniqueFd fd = connectTcp(port);
    Bytes framed = makeQuery(id);
    framed.insert(framed.begin(), {0, static_cast<std::uint8_t>(framed.size())});
    if (::send(fd.get(), framed.data(), framed.size(), MSG_NOSIGNAL) < 0) return {};
    std::array<std::uint8_t, 2> prefix{};
    if (!readExact(fd.get(), prefix.data(), 2)) return {};
    Bytes reply(static_cast<std::size_t>(prefix[0] << 8 | prefix[1]));
    if (!readExact(fd.get(), reply.data(), reply.size())) return {};
    return decode(reply);
}

DnsUpstream upstreamAt(const DnsStandinProcess& standin) {
    return {asio::ip::make_address("127.0.0.1"), standin.port()};
}

DnsForwarder::Options optionsFor(const DnsUpstream& upstream,
                                 std::chrono::milliseconds timeout = 5s) {
    DnsForwarder::Options options;
    options.listenPort = 0;
    options.upstream = upstream;
    options.queryTimeout = timeout;
    return options;
}

TEST(DnsMessage, AcceptsOnlySingleQuestionStandardQueries) {
    const Bytes good = makeQuery(7);
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

    const Answer servfail = decode(dns::servfailFor(withOpt));
    EXPECT_EQ(servfail.id, 7);
    EXPECT_EQ(servfail.rcode, kServfail);
    const Bytes failed = dns::servfailFor(withOpt);
    EXPECT_EQ(failed.size(), good.size()) << "question kept, OPT record dropped";
    EXPECT_TRUE(dns::isResponse(failed));
}

// Plain upstreams and DNS-over-HTTPS URLs: what is kept, and what is refused before it is used.
TEST(DnsUpstream, ParsesAddressesWithPortsAndDohUrls) {
    const struct {
        const char* text;
        std::optional<std::string> host;  // nullopt: refused
        std::uint16_t port;
        bool doh;
    } cases[] = {
        {"1.1.1.1", "1.1.1.1", 53, false},
        {"[2606:4700::1111]:853", "2606:4700::1111", 853, false},
        {"https://dns.nextdns.io/abc123/My%20Laptop", "dns.nextdns.io", 443, true},
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
}

TEST(DnsForwarder, AnswersOverUdpAndTcpWithTheClientsId) {
    DnsStandinProcess standin({.address = "192.0.2.10"});
    DnsStandinProcess truncating({.address = "192.0.2.11", .truncate = true});
    DnsForwarder forwarder(optionsFor(upstreamAt(standin)));
    forwarder.start();

    const Answer udp = askUdp(forwarder.port(), 0x1234);
    EXPECT_EQ(udp.id, 0x1234);
    EXPECT_EQ(udp.rcode, 0);
    EXPECT_EQ(udp.address, "192.0.2.10");

    const Answer tcp = askTcp(forwarder.port(), 0xbeef);
    EXPECT_EQ(tcp.id, 0xbeef);
    EXPECT_EQ(tcp.address, "192.0.2.10");

    // A truncated UDP answer is fetched again over TCP; the client sees the whole one.
    forwarder.setUpstream(upstreamAt(truncating));
    const Answer refetched = askUdp(forwarder.port(), 0x0042);
    EXPECT_EQ(refetched.id, 0x0042);
    EXPECT_EQ(refetched.address, "192.0.2.11");
}

TEST(DnsForwarder, AnswersTwoHundredConcurrentQueries) {
    // The delay keeps every query in flight at once.
    DnsStandinProcess standin({.address = "192.0.2.20", .delayMs = 100});
    DnsForwarder forwarder(optionsFor(upstreamAt(standin)));
    forwarder.start();

    constexpr int kClients = 200;
    std::vector<UniqueFd> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(clientSocket(SOCK_DGRAM));
        sendUdp(clients.back().get(), forwarder.port(), makeQuery(static_cast<std::uint16_t>(i)));
    }
    int answered = 0;
    for (int i = 0; i < kClients; ++i) {
        const auto reply = receiveUdp(clients[i].get());
        ASSERT_TRUE(reply) << "client " << i;
        const Answer answer = decode(*reply);
        EXPECT_EQ(answer.id, i);
        EXPECT_EQ(answer.address, "192.0.2.20");
        answered += answer.address == "192.0.2.20";
    }
    EXPECT_EQ(answered, kClients);
}

TEST(DnsForwarder, AnswersServfailWhenTheUpstreamFails) {
    DnsStandinProcess silent({.drop = true});
    // A port nobody listens on: found by starting a stand-in and stopping it again.
    std::uint16_t closedPort = 0;
    {
        DnsStandinProcess gone;
        closedPort = gone.port();
    }
    const struct {
        const char* what;
        DnsUpstream upstream;
    } cases[] = {
        {"silent upstream", upstreamAt(silent)},
        {"refused port", {asio::ip::make_address("127.0.0.1"), closedPort}},
    };
    for (const auto& c : cases) {
        DnsForwarder forwarder(optionsFor(c.upstream, 200ms));
        forwarder.start();
        const Answer udp = askUdp(forwarder.port(), 0x5151);
        EXPECT_EQ(udp.id, 0x5151) << c.what;
        EXPECT_EQ(udp.rcode, kServfail) << c.what;
        const Answer tcp = askTcp(forwarder.port(), 0x5252);
        EXPECT_EQ(tcp.id, 0x5252) << c.what;
        EXPECT_EQ(tcp.rcode, kServfail) << c.what;
    }
}

// The test plays the upstream itself: it sees what the forwarder sends and answers as it likes.
struct FakeUpstream {
    UniqueFd fd = clientSocket(SOCK_DGRAM);
    std::uint16_t port = 0;

    FakeUpstream() {
        auto address = loopback(0);
        socklen_t size = sizeof address;
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    // The next query and the port it came from.
    std::pair<Bytes, std::uint16_t> receive() {
        Bytes buffer(65536);
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = ::recvfrom(fd.get(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &size);
        buffer.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return {buffer, ntohs(from.sin_port)};
    }
};

// An answer to `query` with one A record for `address`.
Bytes answerTo(Bytes query, std::uint8_t lastOctet) {
    query[2] |= 0x80;
    query[7] = 1;
    query.insert(query.end(), {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, lastOctet});
    return query;
}

TEST(DnsForwarder, DropsAnswersThatDoNotMatchAQueryInFlight) {
    FakeUpstream upstream;
    DnsForwarder forwarder(optionsFor({asio::ip::make_address("127.0.0.1"), upstream.port}));
    forwarder.start();

    const UniqueFd client = clientSocket(SOCK_DGRAM);
    sendUdp(client.get(), forwarder.port(), makeQuery(0x4242));
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
    const UniqueFd elsewhere = clientSocket(SOCK_DGRAM);
    const auto forwarderSide = loopback(fromPort);
    auto sendFrom = [&](int fd, const Bytes& bytes) {
        ::sendto(fd, bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&forwarderSide), sizeof forwarderSide);
    };
    sendFrom(upstream.fd.get(), answerTo(otherName, 1));
    sendFrom(upstream.fd.get(), answerTo(otherId, 2));
    sendFrom(elsewhere.get(), answerTo(sent, 3));  // right id and question, wrong source
    sendFrom(upstream.fd.get(), sent);             // the query itself, not an answer
    sendFrom(upstream.fd.get(), answerTo(shouted, 4));

    const auto reply = receiveUdp(client.get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(decode(*reply).id, 0x4242);
    EXPECT_EQ(decode(*reply).address, "192.0.2.4");
}

TEST(DnsForwarder, SpreadsQueriesOverChangingIdsAndSourcePorts) {
    FakeUpstream upstream;
    DnsForwarder forwarder(optionsFor({asio::ip::make_address("127.0.0.1"), upstream.port}));
    forwarder.start();

    // Sent one after another with the same client id: the upstream still sees many ids and
    // ports, and the client every answer with its own id.
    std::set<std::uint16_t> ids;
    std::set<std::uint16_t> ports;
    const UniqueFd client = clientSocket(SOCK_DGRAM);
    for (int i = 0; i < 300; ++i) {
        sendUdp(client.get(), forwarder.port(), makeQuery(0x0101));
        const auto [sent, fromPort] = upstream.receive();
        ASSERT_TRUE(dns::messageId(sent));
        ids.insert(*dns::messageId(sent));
        ports.insert(fromPort);
        const auto to = loopback(fromPort);
        const Bytes answer = answerTo(sent, 5);
        ::sendto(upstream.fd.get(), answer.data(), answer.size(), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        const auto reply = receiveUdp(client.get());
        ASSERT_TRUE(reply) << "query " << i;
        ASSERT_EQ(decode(*reply).id, 0x0101);
    }
    EXPECT_GT(ids.size(), 250u);
    EXPECT_GT(ports.size(), 2u);
}

TEST(DnsForwarder, IgnoresGarbageAndKeepsAnswering) {
    DnsStandinProcess standin({.address = "192.0.2.40"});
    DnsForwarder forwarder(optionsFor(upstreamAt(standin)));
    forwarder.start();
    const std::uint16_t port = forwarder.port();

    const Bytes query = makeQuery(9);
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

    EXPECT_EQ(askUdp(port, 0x7777).address, "192.0.2.40");
    EXPECT_EQ(askTcp(port, 0x7778).address, "192.0.2.40");
    EXPECT_FALSE(receiveUdp(junk.get())) << "garbage got an answer";
    std::uint8_t byte = 0;
    EXPECT_LE(::recv(tiny.get(), &byte, 1, 0), 0) << "a too-short message closes the connection";
}

TEST(DnsForwarder, StartAndStopAreIdempotentAndRestartable) {
    DnsStandinProcess standin({.address = "192.0.2.50"});
    DnsForwarder forwarder(optionsFor(upstreamAt(standin)));
    EXPECT_FALSE(forwarder.running());
    forwarder.stop();
    forwarder.start();
    const std::uint16_t port = forwarder.port();
    forwarder.start();
    EXPECT_EQ(forwarder.port(), port);
    EXPECT_EQ(askUdp(port, 1).address, "192.0.2.50");

    forwarder.stop();
    forwarder.stop();
    EXPECT_FALSE(forwarder.running());
    EXPECT_EQ(forwarder.port(), 0);

    forwarder.start();
    EXPECT_TRUE(forwarder.running());
    EXPECT_EQ(askTcp(forwarder.port(), 2).address, "192.0.2.50");
}

TEST(DnsForwarder, RefusesAnAddressInUse) {
    DnsStandinProcess standin;
    DnsForwarder::Options options = optionsFor(upstreamAt(standin));
    options.listenPort = standin.port();  // the stand-in holds it for UDP and TCP
    DnsForwarder forwarder(options);
    EXPECT_THROW(forwarder.start(), std::system_error);
    EXPECT_FALSE(forwarder.running());
}

// DNS-over-HTTPS upstreams.

// The DoH host is never looked up through the forwarder itself: known resolvers are pinned.
TEST(DnsUpstream, DohHostsArePinnedWithoutAskingTheForwarder) {
    EXPECT_EQ(nextDnsUrl("abc123", "Ann's laptop"),
              "https://dns.nextdns.io/abc123/Ann%27s%20laptop");
    EXPECT_EQ(nextDnsUrl("abc123"), "https://dns.nextdns.io/abc123");
    EXPECT_TRUE(DnsUpstream::parse(nextDnsUrl("abc123", "Ann's laptop")));
    const auto nextDns = knownDohAddresses("DNS.NextDNS.io");
    ASSERT_EQ(nextDns.size(), 2u);
    EXPECT_EQ(nextDns[0].to_string(), "45.90.28.0");
    EXPECT_EQ(knownDohAddresses("2606:4700::1111").at(0).to_string(), "2606:4700::1111");
    EXPECT_TRUE(knownDohAddresses("dns.example").empty());
    const auto pinned =
        resolveDohHost(*DnsUpstream::parse("https://dns.adguard-dns.com/dns-query"));
    ASSERT_TRUE(pinned);
    EXPECT_EQ(pinned->pinned.at(0).to_string(), "94.140.14.14");
}

// The test CA that signed the stand-in's certificate (for localhost, 127.0.0.1 and a few
// provider names).
std::string testCaFile() {
    return std::string(NIMBRA_SOURCE_DIR) + "/tests/support/trace_server/certs/ca.pem";
}

// A DoH upstream on the stand-in under a name the certificate carries, pinned to loopback: no
// lookup of that name ever happens.
DnsUpstream dohAt(const DnsStandinProcess& standin, const std::string& host = "www.cloudflare.com",
                  bool pin = true) {
    DnsUpstream upstream = *DnsUpstream::parse("https://" + host + ":" +
                                               std::to_string(standin.port()) + "/dns-query");
    if (pin) upstream.pinned = {asio::ip::make_address("127.0.0.1")};
    return upstream;
}

DnsForwarder::Options dohOptionsFor(const DnsUpstream& upstream,
                                    std::chrono::milliseconds timeout = 5s) {
    DnsForwarder::Options options = optionsFor(upstream, timeout);
    options.dohCaFile = testCaFile();
    return options;
}

TEST(DnsForwarderDoh, AnswersUdpAndTcpClientsThroughTheDohServer) {
    DnsStandinProcess doh({.address = "192.0.2.60", .doh = true});
    const struct {
        const char* what;
        DnsUpstream upstream;
        int rcode;
    } cases[] = {
        {"pinned host name", dohAt(doh), 0},
        {"IP literal", dohAt(doh, "127.0.0.1", false), 0},
        {"host name with no address", dohAt(doh, "dns.example.test", false), kServfail},
    };
    for (const auto& c : cases) {
        DnsForwarder forwarder(dohOptionsFor(c.upstream));
        forwarder.start();
        // A few in a row: they share the client's connections.
        for (std::uint16_t id = 1; id <= 3; ++id) {
            const Answer udp = askUdp(forwarder.port(), id);
            EXPECT_EQ(udp.id, id) << c.what;
            EXPECT_EQ(udp.rcode, c.rcode) << c.what;
            EXPECT_EQ(udp.address, c.rcode == 0 ? "192.0.2.60" : "") << c.what;
        }
        const Answer tcp = askTcp(forwarder.port(), 0xd0d0);
        EXPECT_EQ(tcp.id, 0xd0d0) << c.what;
        EXPECT_EQ(tcp.rcode, c.rcode) << c.what;
        EXPECT_EQ(tcp.address, c.rcode == 0 ? "192.0.2.60" : "") << c.what;
    }
}

// The listener and its port stay while the upstream changes under it.
TEST(DnsForwarderDoh, SwitchesBetweenPlainAndDohLive) {
    DnsStandinProcess plain({.address = "192.0.2.61"});
    DnsStandinProcess doh({.address = "192.0.2.62", .doh = true});
    DnsForwarder forwarder(dohOptionsFor(upstreamAt(plain)));
    forwarder.start();
    const std::uint16_t port = forwarder.port();

    const struct {
        DnsUpstream upstream;
        const char* address;
    } steps[] = {
        {upstreamAt(plain), "192.0.2.61"},
        {dohAt(doh), "192.0.2.62"},
        {upstreamAt(plain), "192.0.2.61"},
        {dohAt(doh), "192.0.2.62"},
    };
    std::uint16_t id = 0;
    for (const auto& step : steps) {
        forwarder.setUpstream(step.upstream);
        EXPECT_EQ(forwarder.upstream(), step.upstream);
        EXPECT_EQ(askUdp(port, ++id).address, step.address) << step.upstream.toString();
        EXPECT_EQ(askTcp(port, ++id).address, step.address) << step.upstream.toString();
    }
    EXPECT_EQ(forwarder.port(), port);
}

TEST(DnsForwarderDoh, AnswersServfailWhenTheDohServerFails) {
    DnsStandinProcess silent({.drop = true, .doh = true});
    DnsStandinProcess untrusted({.doh = true});
    DnsUpstream gone;  // a port nobody listens on any more
    {
        DnsStandinProcess server({.doh = true});
        gone = dohAt(server);
    }
    const struct {
        const char* what;
        DnsUpstream upstream;
        std::string caFile;
    } cases[] = {
        {"server gone", gone, testCaFile()},
        {"server silent", dohAt(silent), testCaFile()},
        {"certificate not trusted", dohAt(untrusted), ""},
    };
    for (const auto& c : cases) {
        DnsForwarder::Options options = dohOptionsFor(c.upstream, 300ms);
        options.dohCaFile = c.caFile;
        DnsForwarder forwarder(options);
        forwarder.start();
        const Answer udp = askUdp(forwarder.port(), 0x6161);
        EXPECT_EQ(udp.id, 0x6161) << c.what;
        EXPECT_EQ(udp.rcode, kServfail) << c.what;
        const Answer tcp = askTcp(forwarder.port(), 0x6262);
        EXPECT_EQ(tcp.id, 0x6262) << c.what;
        EXPECT_EQ(tcp.rcode, kServfail) << c.what;
    }
}

}  // namespace
}  // namespace nimbra::nimbrad
