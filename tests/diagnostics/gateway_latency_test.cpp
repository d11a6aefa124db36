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
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "base/async/task.hpp"
#include "base/stop_scope.hpp"
#include "diagnostics/quic_probe_datagram.hpp"
#include "support/run_until.hpp"
#include "support/scoped_env.hpp"

namespace nimbra {
namespace {

using asio::ip::tcp;
using asio::ip::udp;
using nimbra::testing::runUntil;
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
tcp::socket refusingPort(asio::io_context& io, unsigned short port) {
    tcp::socket socket(io, tcp::v4());
    socket.bind({kLoopback, port});
    return socket;
}

// Stands in for a QUIC endpoint on 127.0.0.1 and counts the probe datagrams (1200 bytes, long
// header) that reach it; one byte stops it. Silent when `answerAfter` is 0; else it holds back
// its answers until that many have arrived, then answers them all, and every later one at once.
class UdpResponder {
public:
    explicit UdpResponder(int answerAfter, unsigned short port = 0)
        : socket_(io_, {kLoopback, port}), thread_([this, answerAfter] { serve(answerAfter); }) {}
    ~UdpResponder() {
        udp::socket(io_, udp::v4()).send_to(asio::buffer("!", 1), socket_.local_endpoint());
        thread_.join();
    }
    unsigned short port() const { return socket_.local_endpoint().port(); }
    int probes() const { return probes_; }

private:
    void serve(int answerAfter) {
        std::vector<udp::endpoint> waiting;
        std::array<std::uint8_t, 2048> buffer;
        for (udp::endpoint peer;;) {
            const std::size_t n = socket_.receive_from(asio::buffer(buffer), peer);
            if (n == 1) return;
            if (n != 1200 || buffer[0] != 0xC0) continue;
            waiting.push_back(peer);
            if (++probes_ < answerAfter || answerAfter == 0) continue;
            for (const auto& to : waiting) socket_.send_to(asio::buffer("answer", 6), to);
            waiting.clear();
        }
    }

    asio::io_context io_;
    udp::socket socket_;
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
    ScopedEnv endpoint("NIMBRA_ENDPOINT_V4", "127.0.0.1");
    ScopedEnv prefix("NIMBRA_FREMONT_NAT64_PREFIX", "::ffff:");
    const std::pair<std::optional<std::string>, int> ports[] = {
        {std::nullopt, 443}, {"8443", 8443}, {"443x", 443}, {"0", 443}, {"65536", 443}};
    for (const auto& [text, port] : ports) {
        ScopedEnv probePort("NIMBRA_GATEWAY_PROBE_PORT", text);
        EXPECT_THAT(ExitProbe::gatewayTargets(),
                    ElementsAre(Target{"none", "127.0.0.1", port},
                                Target{"::ffff:", "::ffff:7f00:1", port}))
            << text.value_or("unset");
    }
}

// An answer ending the wait, and the TCP fallback's outcomes, are probeAllGateways's below.
TEST(GatewayRtt, NumericAddressesAloneAreMeasuredAndAStopEndsASilentWait) {
    asio::io_context io;
    TcpListener listener(io);
    const int port = listener.port();
    UdpResponder udp(/*answerAfter=*/1, port);
    // Never a name lookup, never a port out of range.
    const std::pair<const char*, int> invalid[] = {
        {"localhost", port}, {"127.0.0.1.", port}, {"127.0.0.1", 0}, {"127.0.0.1", 65536}};
    for (const auto& [host, hostPort] : invalid) {
        EXPECT_EQ(ExitProbe::measureQuicUdpRtt(host, hostPort, 1000), -1) << host << hostPort;
        EXPECT_EQ(ExitProbe::measureTcpRtt(host, hostPort, 1000), -1) << host << hostPort;
    }
    EXPECT_EQ(udp.probes(), 0);
    EXPECT_EQ(listener.pending(), 0);

    // A silent gateway holds the probe until its time-out, unless the task waiting is cancelled
    // (a quit): the stop ends the wait at once.
    UdpResponder silent(/*answerAfter=*/0);
    std::stop_source stop;
    std::thread probe([&] {
        const StopScope scope(stop.get_token());
        EXPECT_EQ(ExitProbe::measureQuicUdpRtt("127.0.0.1", silent.port(), kForever), -1);
    });
    while (silent.probes() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop.request_stop();
    probe.join();
}

// Every gateway at once on `port`, on a core loop as the controller runs it.
std::map<std::string, int> probeAll(int port, int timeoutMs) {
    ScopedEnv probePort("NIMBRA_GATEWAY_PROBE_PORT", std::to_string(port));
    CoreRuntime runtime;
    std::map<std::string, int> probes;
    auto body = [&]() -> asio::awaitable<void> {
        probes = co_await ExitProbe::probeAllGateways(runtime.blockingPool(), timeoutMs);
    };
    std::optional<std::exception_ptr> ended;
    spawnTask(runtime.executor(), body(), [&](std::exception_ptr error) { ended = error; });
    const auto done = [&] { return ended.has_value(); };
    EXPECT_TRUE(runUntil(runtime, done, std::chrono::milliseconds(kForever)));
    EXPECT_FALSE(ended.value_or(nullptr));
    return probes;
}

TEST(ProbeAllGateways, ConcurrentlyByQuicThenTcpAndMinusOneWhenNeitherAnswers) {
    // Both gateways point at the loopback: direct at 127.0.0.1, Fremont at ::ffff:7f00:1.
    ScopedEnv endpoint("NIMBRA_ENDPOINT_V4", "127.0.0.1");
    ScopedEnv prefix("NIMBRA_FREMONT_NAT64_PREFIX", "::ffff:");
    // Nothing is answered until both datagrams are in: probed one after the other, the first
    // would wait for ever. Nothing listens on TCP, so the values come from QUIC.
    UdpResponder bothOrNothing(/*answerAfter=*/2);
    EXPECT_THAT(probeAll(bothOrNothing.port(), kForever),
                ElementsAre(Pair("::ffff:", Ge(1)), Pair("none", Ge(1))));
    EXPECT_EQ(bothOrNothing.probes(), 2);

    asio::io_context io;
    TcpListener listener(io);
    UdpResponder silent(/*answerAfter=*/0, listener.port());
    EXPECT_THAT(probeAll(silent.port(), 150),
                ElementsAre(Pair("::ffff:", Ge(1)), Pair("none", Ge(1))));
    EXPECT_EQ(silent.probes(), 2);
    EXPECT_EQ(listener.pending(), 2);

    UdpResponder silentToo(/*answerAfter=*/0);
    const tcp::socket refusing = refusingPort(io, silentToo.port());
    EXPECT_THAT(probeAll(silentToo.port(), 150),
                ElementsAre(Pair("::ffff:", -1), Pair("none", -1)));
}

}  // namespace
}  // namespace nimbra
