// The byte counter sources against the real kernel: the link counters of lo, and the connection
// counters of a TCP listener on 127.0.0.1 standing in for the engine's SOCKS listener.

#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "observe/interface_byte_counters.hpp"
#include "observe/socks_connection_byte_counters.hpp"
#include "observe/tunnel_byte_counters.hpp"
#include "system/platform_profile.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
constexpr std::size_t kMiB = 1024 * 1024;

// A connection to a listener on 127.0.0.1: the client end and the listener's accepted end,
// which is the one counted.
struct Link {
    explicit Link(tcp::acceptor& listener)
        : client(listener.get_executor()), server(listener.get_executor()) {
        client.connect(listener.local_endpoint());
        server = listener.accept();
    }
    tcp::socket client, server;
};

// Carries `up` bytes from client to server, then `down` bytes back, in chunks the socket
// buffers hold, so one thread does both ends.
void carry(Link& link, std::size_t up, std::size_t down) {
    std::vector<char> chunk(64 * 1024);
    for (auto [from, to, left] : {std::tuple{&link.client, &link.server, up},
                                  std::tuple{&link.server, &link.client, down}}) {
        for (std::size_t n; left > 0; left -= n) {
            n = std::min(left, chunk.size());
            asio::write(*from, asio::buffer(chunk.data(), n));
            asio::read(*to, asio::buffer(chunk.data(), n));
        }
    }
}

// Samples until both directions have grown by about (3 %) the expected amounts -- the last ACKs
// may trail the data by a moment -- and says whether they did. The deadline only keeps a broken
// counter from hanging the test.
bool grewBy(ByteCounterSource& source, ByteCounts base, std::size_t down, std::size_t up) {
    const auto near = [](std::int64_t measured, std::size_t expected) {
        return std::abs(static_cast<double>(measured) / static_cast<double>(expected) - 1) <= 0.03;
    };
    for (auto deadline = std::chrono::steady_clock::now() + 60s;;) {
        const ByteCounts now = source.sample(std::nullopt);
        if (near(now.rx - base.rx, down) && near(now.tx - base.tx, up)) return true;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "grew by " << now.rx - base.rx << " down, " << now.tx - base.tx
                          << " up; expected " << down << " and " << up;
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool hasTunnelInterface() {
    const std::string& prefix = PlatformProfile::current().tunnelInterfacePrefix;
    bool found = false;
    if (struct if_nameindex* names = ::if_nameindex()) {
        for (auto* entry = names; entry->if_index != 0; ++entry)
            found = found || std::string_view(entry->if_name).starts_with(prefix);
        ::if_freenameindex(names);
    }
    return found;
}

TEST(SocksCounters, CountTheListenersConnectionsBothWaysAndKeepClosedOnes) {
    if (!SocksConnectionByteCounters::available()) GTEST_SKIP() << "no sock_diag over netlink";
    EXPECT_EQ(SocksConnectionByteCounters(70'000).sample(std::nullopt), ByteCounts{});

    constexpr std::size_t kUp = 2 * kMiB, kDown = 3 * kMiB;  // unequal, so a swap would show
    asio::io_context io;
    tcp::acceptor listener(io, {asio::ip::address_v4::loopback(), 0});
    tcp::acceptor other(io, {asio::ip::address_v4::loopback(), 0});  // never counted
    SocksConnectionByteCounters counters(listener.local_endpoint().port());
    const ByteCounts before = counters.sample(std::nullopt);
    {
        Link elsewhere(other);
        carry(elsewhere, kMiB, kMiB);
        Link first(listener);
        carry(first, kUp, kDown);
        EXPECT_TRUE(grewBy(counters, before, kDown, kUp));
    }
    EXPECT_TRUE(grewBy(counters, before, kDown, kUp)) << "a closed connection stays counted";
    Link second(listener);
    carry(second, kUp, kDown);
    EXPECT_TRUE(grewBy(counters, before, 2 * kDown, 2 * kUp));

    // The tunnel's counters: with a name that interface alone, without one the listener's live
    // connections plus the tunnel interfaces (none here).
    TunnelByteCounters tunnel(listener.local_endpoint().port());
    EXPECT_EQ(tunnel.sample("nimbra-none0"), ByteCounts{});
    EXPECT_TRUE(hasTunnelInterface() || grewBy(tunnel, {}, kDown, kUp));
}

TEST(InterfaceCounters, ReadOneInterfaceByExactNameOrTheTunnelInterfaces) {
    InterfaceByteCounters counters;
    asio::io_context io;
    tcp::acceptor listener(io, {asio::ip::address_v4::loopback(), 0});
    Link link(listener);  // a fresh namespace's lo reads 0 until it has carried something
    const ByteCounts before = counters.sample("lo");
    if (before == ByteCounts{}) GTEST_SKIP() << "no link statistics for lo on this system";
    carry(link, 32 * 1024, 0);
    const ByteCounts after = counters.sample("lo");
    if (after.rx < before.rx) GTEST_SKIP() << "the 32-bit lo counter wrapped";
    EXPECT_GE(after.rx - before.rx, 32 * 1024);
    EXPECT_GE(after.tx - before.tx, 32 * 1024);
    EXPECT_EQ(counters.sample("l"), ByteCounts{}) << "names match exactly, not by prefix";
    if (hasTunnelInterface()) return;
    EXPECT_EQ(counters.sample(std::nullopt), ByteCounts{}) << "lo is no tunnel interface";
}

}  // namespace
}  // namespace nimbra
