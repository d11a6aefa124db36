// Gateway latency probes against real sockets on loopback: a UDP responder in place of a QUIC
// endpoint, and TCP listeners for the fallback. Outcomes and order only: where a probe must not
// wait, it is given a time-out far beyond the test's own limit, so waiting shows as a hang.

#include "diagnostics/gateway_latency.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "base/async/task.hpp"
#include "diagnostics/quic_probe_datagram.hpp"
#include "support/run_until.hpp"
#include "support/scoped_env.hpp"

namespace nimbra {
namespace {

using asio::ip::tcp;
using asio::ip::udp;
using nimbra::testing::ScopedEnv;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::Pair;
using Target = ExitProbe::GatewayTarget;

constexpr int kForever = 3'600'000;  // ms; far past CTest's per-test limit
const auto kLoopback = asio::ip::address_v4::loopback();

// A listener on 127.0.0.1 whose handshakes the kernel completes; it counts them on demand.
struct TcpListener {
    explicit TcpListener(asio::io_context& io) : acceptor(io, {kLoopback, 0}) {
        acceptor.non_blocking(true);
    }
    int port() const { return acceptor.local_endpoint().port(); }
    int pending() {
        int count = 0;
        for (asio::error_code error; acceptor.accept(error), !error;) ++count;
        return count;
    }
    tcp::acceptor acceptor;
};

// A TCP port on 127.0.0.1 that is bound but not listening: connections are refused at once.
tcp::socket refusingPort(asio::io_context& io, unsigned short port = 0) {
    tcp::socket socket(io, tcp::v4());
    socket.bind({kLoopback, port});
    return socket;
}

// Stands in for a QUIC endpoint on 127.0.0.1 and counts the probe datagrams (1200 bytes, a
// long header) that reach it. Silent when `answerAfter` is 0; otherwise it holds back its
// answers until that many have arrived, then answers them all, and every later one at once.
class UdpResponder {
public:
    explicit UdpResponder(int answerAfter, unsigned short port = 0)
        : socket_(io_, {kLoopback, port}), thread_([this, answerAfter] { serve(answerAfter); }) {}
    ~UdpResponder() {
        stop_ = true;
        udp::socket(io_, udp::v4()).send_to(asio::buffer("stop", 4), socket_.local_endpoint());
        thread_.join();
    }
    unsigned short port() const { return socket_.local_endpoint().port(); }
    int probes() const { return probes_; }

private:
    void serve(int answerAfter) {
        std::vector<udp::endpoint> waiting;
        std::array<std::uint8_t, 2048> buffer;
        for (udp::endpoint peer; !stop_;) {
            const std::size_t n = socket_.receive_from(asio::buffer(buffer), peer);
            if (n != 1200 || buffer[0] != 0xC0) continue;
            waiting.push_back(peer);
            if (++probes_ < answerAfter || answerAfter == 0) continue;
            for (const auto& to : waiting) socket_.send_to(asio::buffer("answer", 6), to);
            waiting.clear();
        }
    }

    asio::io_context io_;
    udp::socket socket_;
    std::atomic<bool> stop_{false};
    std::atomic<int> probes_{0};
    std::thread thread_;
};

TEST(QuicProbeDatagram, IsAPaddedInitialPacketWithAFreshConnectionIdEachTime) {
    // Long header Initial, version 1, DCID length 8, [8 bytes DCID], SCID length 0, token
    // length 0, length 1100 as a two-byte varint, packet number 1, then zeros.
    const std::array<std::uint8_t, 1200> expected{0xC0, 0, 0, 0, 1, 8,    0,    0, 0, 0, 0,
                                                  0,    0, 0, 0, 0, 0x44, 0x4C, 0, 0, 0, 1};
    auto withoutId = [](auto datagram) {
        std::fill(datagram.begin() + 6, datagram.begin() + 14, 0);
        return datagram;
    };
    const auto first = ExitProbe::quicProbeDatagram();
    const auto second = ExitProbe::quicProbeDatagram();
    EXPECT_EQ(withoutId(first), expected);
    EXPECT_EQ(withoutId(second), expected);
    EXPECT_FALSE(std::equal(first.begin() + 6, first.begin() + 14, second.begin() + 6));
}

TEST(GatewayTargets, DirectThenFremontFollowingTheDeploymentOverrides) {
    EXPECT_EQ(ExitProbe::ipv4AsHexGroups("1.2.3.4"), "102:304") << "no leading zeros";
    EXPECT_EQ(ExitProbe::ipv4AsHexGroups("255.255.255.255"), "ffff:ffff");
    for (const char* bad : {"", "1.2.3", "1.2.3.256", "::1", "one.example"}) {
        EXPECT_EQ(ExitProbe::ipv4AsHexGroups(bad), std::nullopt) << bad;
    }

    std::optional<ScopedEnv> endpoint(std::in_place, "NIMBRA_ENDPOINT_V4", std::nullopt);
    std::optional<ScopedEnv> prefix(std::in_place, "NIMBRA_FREMONT_NAT64_PREFIX", std::nullopt);
    std::optional<ScopedEnv> port(std::in_place, "NIMBRA_GATEWAY_PROBE_PORT", std::nullopt);
    EXPECT_THAT(ExitProbe::gatewayTargets(),
                ElementsAre(Target{"none", "162.159.198.1", 443},
                            Target{"2602:fc59:b0:64::", "2602:fc59:b0:64::a29f:c601", 443}));

    endpoint.emplace("NIMBRA_ENDPOINT_V4", "127.0.0.1");
    prefix.emplace("NIMBRA_FREMONT_NAT64_PREFIX", "::ffff:");
    port.emplace("NIMBRA_GATEWAY_PROBE_PORT", "8443");
    EXPECT_THAT(ExitProbe::gatewayTargets(), ElementsAre(Target{"none", "127.0.0.1", 8443},
                                                         Target{"::ffff:", "::ffff:7f00:1", 8443}));
    for (const char* typo : {"https", "443x", "0", "65536", "-1"}) {
        port.emplace("NIMBRA_GATEWAY_PROBE_PORT", typo);
        EXPECT_EQ(ExitProbe::gatewayTargets().at(0).port, 443) << typo;
    }
}

TEST(GatewayRtt, NumericAddressesAloneAreMeasuredAndAnAnswerEndsTheWait) {
    asio::io_context io;
    TcpListener listener(io);
    const int port = listener.port();
    UdpResponder udp(/*answerAfter=*/1, listener.port());
    // Never a name lookup, never a port out of range.
    for (const auto& [host, hostPort] : {std::pair{"localhost", port},
                                         {"", port},
                                         {"127.0.0.1.", port},
                                         {"::ffff:", port},
                                         {"127.0.0.1", 0},
                                         {"127.0.0.1", 65536}}) {
        EXPECT_EQ(ExitProbe::measureQuicUdpRtt(host, hostPort, 1000), -1) << host << hostPort;
        EXPECT_EQ(ExitProbe::measureTcpRtt(host, hostPort, 1000), -1) << host << hostPort;
    }
    EXPECT_EQ(udp.probes(), 0);
    EXPECT_EQ(listener.pending(), 0);

    EXPECT_GE(ExitProbe::measureQuicUdpRtt("127.0.0.1", port, kForever), 1);
    EXPECT_GE(ExitProbe::measureTcpRtt("127.0.0.1", port, kForever), 1);
    EXPECT_EQ(udp.probes(), 1);
    EXPECT_EQ(listener.pending(), 1);
    const tcp::socket refusing = refusingPort(io);
    EXPECT_EQ(ExitProbe::measureTcpRtt("127.0.0.1", refusing.local_endpoint().port(), kForever),
              -1);
}

// Every gateway at once, on a core loop as the controller runs it. Both gateways point at the
// loopback: direct at 127.0.0.1, Fremont at the IPv4-mapped ::ffff:7f00:1.
class ProbeAllGatewaysTest : public ::testing::Test {
protected:
    std::map<std::string, int> probe(int port, int timeoutMs) {
        ScopedEnv probePort("NIMBRA_GATEWAY_PROBE_PORT", std::to_string(port));
        CoreRuntime runtime;
        std::optional<std::map<std::string, int>> probes;
        auto body = [&]() -> asio::awaitable<void> {
            probes = co_await ExitProbe::probeAllGateways(runtime.blockingPool(), timeoutMs);
        };
        bool done = false;
        spawnTask(runtime.executor(), body(), [&](std::exception_ptr error) {
            EXPECT_FALSE(error);
            done = true;
        });
        EXPECT_TRUE(nimbra::testing::runUntil(
            runtime, [&] { return done; }, std::chrono::milliseconds(kForever)));
        return probes.value_or(std::map<std::string, int>{});
    }

    asio::io_context io_;
    ScopedEnv endpoint_{"NIMBRA_ENDPOINT_V4", "127.0.0.1"};
    ScopedEnv prefix_{"NIMBRA_FREMONT_NAT64_PREFIX", "::ffff:"};
};

TEST_F(ProbeAllGatewaysTest, GatewaysAreProbedConcurrently) {
    // Nothing is answered until both datagrams are in: probed one after the other, the first
    // would wait for ever. Nothing listens on TCP, so the values come from QUIC.
    UdpResponder bothOrNothing(/*answerAfter=*/2);
    EXPECT_THAT(probe(bothOrNothing.port(), kForever),
                ElementsAre(Pair("::ffff:", Ge(1)), Pair("none", Ge(1))));
    EXPECT_EQ(bothOrNothing.probes(), 2);
}

TEST_F(ProbeAllGatewaysTest, SilentQuicFallsBackToTcpAndNeitherGivesMinusOne) {
    TcpListener listener(io_);
    UdpResponder silent(/*answerAfter=*/0, listener.port());
    EXPECT_THAT(probe(silent.port(), 150),
                ElementsAre(Pair("::ffff:", Ge(1)), Pair("none", Ge(1))));
    EXPECT_EQ(silent.probes(), 2);
    EXPECT_EQ(listener.pending(), 2);

    UdpResponder silentToo(/*answerAfter=*/0);
    const tcp::socket refusing = refusingPort(io_, silentToo.port());
    EXPECT_THAT(probe(silentToo.port(), 150), ElementsAre(Pair("::ffff:", -1), Pair("none", -1)));
}

}  // namespace
}  // namespace nimbra
