// Gateway latency probes against real sockets on loopback: a UDP responder that answers (or
// stays silent) in place of a QUIC endpoint, and a TCP listener for the fallback.

#include "diagnostics/gateway_latency.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "base/async/task.hpp"
#include "base/unique_fd.hpp"
#include "diagnostics/quic_probe_datagram.hpp"
#include "support/run_until.hpp"
#include "support/scoped_env.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::ScopedEnv;
using ::testing::ElementsAre;
using ::testing::Pair;
using Clock = std::chrono::steady_clock;

int boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
               : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// A socket bound to a loopback address (127.0.0.1 or ::1) on `port` (0: any free port).
UniqueFd bindLoopback(int type, int family = AF_INET, int port = 0) {
    UniqueFd fd(::socket(family, type | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fd;
    int result = -1;
    if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        result = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        result = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (result != 0) fd.reset();
    return fd;
}

// Stands in for a QUIC endpoint: every datagram is recorded and, unless silent, echoed back.
class UdpResponder {
public:
    explicit UdpResponder(bool answer, int family = AF_INET, int port = 0)
        : socket_(bindLoopback(SOCK_DGRAM, family, port)), answer_(answer) {
        if (!socket_.valid()) return;
        const timeval tick{0, 20'000};
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        thread_ = std::thread([this] { serve(); });
    }
    ~UdpResponder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    bool valid() const { return socket_.valid(); }
    int port() const { return boundPort(socket_.get()); }
    std::vector<std::vector<std::uint8_t>> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void serve() {
        std::vector<std::uint8_t> buffer(4096);
        while (!stop_) {
            sockaddr_storage peer{};
            socklen_t peerLength = sizeof peer;
            const ssize_t n = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&peer), &peerLength);
            if (n < 0) continue;
            {
                std::lock_guard lock(mutex_);
                received_.emplace_back(buffer.begin(), buffer.begin() + n);
            }
            if (answer_) {
                ::sendto(socket_.get(), buffer.data(), static_cast<size_t>(n), 0,
                         reinterpret_cast<sockaddr*>(&peer), peerLength);
            }
        }
    }

    UniqueFd socket_;
    bool answer_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> received_;
    std::thread thread_;
};

// A TCP listener on 127.0.0.1 that the probes never see accept; the kernel completes the
// handshakes. Non-blocking, so that counting the queued connections stops at the last one.
UniqueFd tcpListener(int port = 0) {
    UniqueFd fd = bindLoopback(SOCK_STREAM, AF_INET, port);
    if (fd.valid() && (::listen(fd.get(), 16) != 0 ||
                       ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK) != 0)) {
        fd.reset();
    }
    return fd;
}

int pendingConnections(int listener) {
    int count = 0;
    while (UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)).valid()) {
        ++count;
    }
    return count;
}

// Runs probeAllGateways on a core loop the way the controller does.
std::optional<std::map<std::string, int>> probeOnCore(int timeoutMs) {
    CoreRuntime runtime;
    std::optional<std::map<std::string, int>> probes;
    std::exception_ptr failure;
    bool done = false;
    auto body = [&]() -> asio::awaitable<void> {
        auto result = co_await ExitProbe::probeAllGateways(runtime.blockingPool(), timeoutMs);
        probes = std::move(result);
    };
    spawnTask(runtime.executor(), body(), [&](std::exception_ptr error) {
        failure = error;
        done = true;
    });
    const auto finished = [&] { return done; };
    EXPECT_TRUE(nimbra::testing::runUntil(runtime, finished, 10s));
    EXPECT_FALSE(failure);
    return probes;
}

// ---- the datagram ----------------------------------------------------------------------------

TEST(QuicProbeDatagram, HasTheInitialPacketLayout) {
    const auto datagram = ExitProbe::quicProbeDatagram();
    ASSERT_EQ(datagram.size(), 1200u);
    EXPECT_EQ(datagram[0], 0xC0);
    EXPECT_THAT(std::vector<std::uint8_t>(datagram.begin() + 1, datagram.begin() + 5),
                ElementsAre(0x00, 0x00, 0x00, 0x01));
    EXPECT_EQ(datagram[5], 0x08);
    EXPECT_EQ(datagram[14], 0x00);
    EXPECT_EQ(datagram[15], 0x00);
    EXPECT_EQ(datagram[16], 0x44);
    EXPECT_EQ(datagram[17], 0x4C);
    // 0x444C is a two-byte varint: prefix 01, value 0x044C = 1100.
    EXPECT_EQ(((datagram[16] & 0x3F) << 8) | datagram[17], 1100);
    EXPECT_THAT(std::vector<std::uint8_t>(datagram.begin() + 18, datagram.begin() + 22),
                ElementsAre(0x00, 0x00, 0x00, 0x01));
    for (std::size_t i = 22; i < datagram.size(); ++i) {
        ASSERT_EQ(datagram[i], 0x00) << "byte " << i;
    }
}

TEST(QuicProbeDatagram, DrawsAFreshConnectionIdEachTime) {
    const auto first = ExitProbe::quicProbeDatagram();
    const auto second = ExitProbe::quicProbeDatagram();
    const std::vector<std::uint8_t> firstId(first.begin() + 6, first.begin() + 14);
    const std::vector<std::uint8_t> secondId(second.begin() + 6, second.begin() + 14);
    EXPECT_NE(firstId, secondId);
    // Nothing but the connection ID differs.
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + 6, second.begin()));
    EXPECT_TRUE(std::equal(first.begin() + 14, first.end(), second.begin() + 14));
}

// ---- the targets -----------------------------------------------------------------------------

TEST(GatewayTargets, EmbedTheIpv4EndpointAsTwoHexGroups) {
    EXPECT_EQ(ExitProbe::ipv4AsHexGroups("1.2.3.4"), "102:304");
    EXPECT_EQ(ExitProbe::ipv4AsHexGroups("162.159.198.1"), "a29f:c601");
    EXPECT_EQ(ExitProbe::ipv4AsHexGroups("127.0.0.1"), "7f00:1");
    EXPECT_EQ(ExitProbe::ipv4AsHexGroups("0.0.0.0"), "0:0");
    EXPECT_EQ(ExitProbe::ipv4AsHexGroups("255.255.255.255"), "ffff:ffff");
    for (const char* bad : {"", "1.2.3", "1.2.3.256", "::1", "one.example"}) {
        EXPECT_EQ(ExitProbe::ipv4AsHexGroups(bad), std::nullopt) << bad;
    }
}

TEST(GatewayTargets, DirectThenFremontOnTheMasquePort) {
    ScopedEnv endpoint("NIMBRA_ENDPOINT_V4", std::nullopt);
    ScopedEnv prefix("NIMBRA_FREMONT_NAT64_PREFIX", std::nullopt);
    ScopedEnv port("NIMBRA_GATEWAY_PROBE_PORT", std::nullopt);
    EXPECT_THAT(ExitProbe::gatewayTargets(),
                ElementsAre(ExitProbe::GatewayTarget{"none", "162.159.198.1", 443},
                            ExitProbe::GatewayTarget{
                                "2602:fc59:b0:64::", "2602:fc59:b0:64::a29f:c601", 443}));
}

TEST(GatewayTargets, FollowTheDeploymentOverrides) {
    ScopedEnv endpoint("NIMBRA_ENDPOINT_V4", "127.0.0.1");
    ScopedEnv prefix("NIMBRA_FREMONT_NAT64_PREFIX", "::ffff:");
    {
        ScopedEnv port("NIMBRA_GATEWAY_PROBE_PORT", "8443");
        EXPECT_THAT(ExitProbe::gatewayTargets(),
                    ElementsAre(ExitProbe::GatewayTarget{"none", "127.0.0.1", 8443},
                                ExitProbe::GatewayTarget{"::ffff:", "::ffff:7f00:1", 8443}));
    }
    for (const char* typo : {"https", "443x", "0", "65536", "-1"}) {
        ScopedEnv port("NIMBRA_GATEWAY_PROBE_PORT", typo);
        EXPECT_EQ(ExitProbe::gatewayTargets().at(0).port, 443) << typo;
    }
}

// ---- the measurements ------------------------------------------------------------------------

TEST(QuicUdpRtt, AnAnsweringEndpointGivesAtLeastOneMillisecond) {
    for (const auto& [family, host] :
         {std::pair{AF_INET, "127.0.0.1"}, std::pair{AF_INET6, "::1"}}) {
        UdpResponder responder(/*answer=*/true, family);
        ASSERT_TRUE(responder.valid()) << host;
        const int rtt = ExitProbe::measureQuicUdpRtt(host, responder.port(), 2000);
        EXPECT_GE(rtt, 1) << host;
        EXPECT_LT(rtt, 2000) << host;
        // What went out was one whole probe datagram.
        const auto received = responder.received();
        ASSERT_EQ(received.size(), 1u) << host;
        EXPECT_EQ(received[0].size(), 1200u);
        EXPECT_EQ(received[0][0], 0xC0);
    }
}

TEST(QuicUdpRtt, ASilentEndpointTimesOut) {
    UdpResponder silent(/*answer=*/false);
    ASSERT_TRUE(silent.valid());
    const auto start = Clock::now();
    EXPECT_EQ(ExitProbe::measureQuicUdpRtt("127.0.0.1", silent.port(), 150), -1);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 140ms);
    EXPECT_LT(elapsed, 2s);
    EXPECT_EQ(silent.received().size(), 1u);
}

TEST(TcpRtt, AListenerGivesAtLeastOneMillisecondAndAClosedPortFails) {
    const UniqueFd listener = tcpListener();
    ASSERT_TRUE(listener.valid());
    const int rtt = ExitProbe::measureTcpRtt("127.0.0.1", boundPort(listener.get()), 2000);
    EXPECT_GE(rtt, 1);
    EXPECT_LT(rtt, 2000);
    EXPECT_EQ(pendingConnections(listener.get()), 1);

    // Bound but not listening: the handshake is refused at once.
    const UniqueFd closed = bindLoopback(SOCK_STREAM);
    ASSERT_TRUE(closed.valid());
    const auto start = Clock::now();
    EXPECT_EQ(ExitProbe::measureTcpRtt("127.0.0.1", boundPort(closed.get()), 2000), -1);
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(GatewayRtt, HostsThatAreNotNumericAddressesAreNeverLookedUp) {
    const UniqueFd listener = tcpListener();
    ASSERT_TRUE(listener.valid());
    const int port = boundPort(listener.get());
    for (const char* host : {"localhost", "one.one.one.one", "", "127.0.0.1.", "::ffff:"}) {
        const auto start = Clock::now();
        EXPECT_EQ(ExitProbe::measureQuicUdpRtt(host, port, 1000), -1) << host;
        EXPECT_EQ(ExitProbe::measureTcpRtt(host, port, 1000), -1) << host;
        EXPECT_LT(Clock::now() - start, 500ms) << host;
    }
    EXPECT_EQ(pendingConnections(listener.get()), 0);
    // Ports outside the valid range fail the same way.
    EXPECT_EQ(ExitProbe::measureTcpRtt("127.0.0.1", 0, 1000), -1);
    EXPECT_EQ(ExitProbe::measureTcpRtt("127.0.0.1", 65536, 1000), -1);
}

// ---- every gateway at once -------------------------------------------------------------------

// Both gateways point at loopback: direct at 127.0.0.1, Fremont at the IPv4-mapped ::ffff:7f00:1.
class ProbeAllGatewaysTest : public ::testing::Test {
protected:
    ScopedEnv endpoint_{"NIMBRA_ENDPOINT_V4", "127.0.0.1"};
    ScopedEnv prefix_{"NIMBRA_FREMONT_NAT64_PREFIX", "::ffff:"};
};

TEST_F(ProbeAllGatewaysTest, AnsweringQuicEndpointsNeedNoFallback) {
    UdpResponder responder(/*answer=*/true);
    ASSERT_TRUE(responder.valid());
    ScopedEnv port("NIMBRA_GATEWAY_PROBE_PORT", std::to_string(responder.port()));

    const auto probes = probeOnCore(2000);
    ASSERT_TRUE(probes);
    // Nothing listens on TCP there, so these values can only come from the QUIC probe.
    EXPECT_THAT(*probes,
                ElementsAre(Pair("::ffff:", ::testing::Ge(1)), Pair("none", ::testing::Ge(1))));
    EXPECT_EQ(responder.received().size(), 2u);
}

TEST_F(ProbeAllGatewaysTest, SilentQuicFallsBackToTcp) {
    const UniqueFd listener = tcpListener();
    ASSERT_TRUE(listener.valid());
    const int port = boundPort(listener.get());
    // The same port on UDP swallows the datagrams without a word.
    UdpResponder silent(/*answer=*/false, AF_INET, port);
    ASSERT_TRUE(silent.valid());
    ScopedEnv probePort("NIMBRA_GATEWAY_PROBE_PORT", std::to_string(port));

    const auto probes = probeOnCore(150);
    ASSERT_TRUE(probes);
    EXPECT_THAT(*probes,
                ElementsAre(Pair("::ffff:", ::testing::Ge(1)), Pair("none", ::testing::Ge(1))));
    EXPECT_EQ(silent.received().size(), 2u);
    EXPECT_EQ(pendingConnections(listener.get()), 2);
}

TEST_F(ProbeAllGatewaysTest, UnreachableGatewaysAreMinusOneAndProbedConcurrently) {
    // Silent on UDP, refusing on TCP: each gateway waits out one full QUIC time-out.
    UdpResponder silent(/*answer=*/false);
    ASSERT_TRUE(silent.valid());
    const UniqueFd refusing = bindLoopback(SOCK_STREAM, AF_INET, silent.port());
    ASSERT_TRUE(refusing.valid());
    ScopedEnv probePort("NIMBRA_GATEWAY_PROBE_PORT", std::to_string(silent.port()));

    const auto start = Clock::now();
    const auto probes = probeOnCore(400);
    const auto elapsed = Clock::now() - start;
    ASSERT_TRUE(probes);
    EXPECT_THAT(*probes, ElementsAre(Pair("::ffff:", -1), Pair("none", -1)));
    // One after the other would take at least 800 ms.
    EXPECT_GE(elapsed, 380ms);
    EXPECT_LT(elapsed, 750ms);
}

}  // namespace
}  // namespace nimbra
