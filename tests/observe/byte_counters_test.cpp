// The byte counter sources against the real kernel: the loopback interface's link counters, and
// the per-connection counters of a TCP listener on 127.0.0.1 standing in for the engine's SOCKS
// listener.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.hpp"
#include "observe/interface_byte_counters.hpp"
#include "observe/socks_connection_byte_counters.hpp"
#include "observe/tunnel_byte_counters.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kMiB = 1024 * 1024;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void sendAll(int fd, std::int64_t count) {
    const std::vector<char> chunk(64 * 1024, 'u');
    while (count > 0) {
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(count, chunk.size()));
        const ssize_t sent = ::send(fd, chunk.data(), size, MSG_NOSIGNAL);
        if (sent <= 0) throw std::runtime_error("send failed");
        count -= sent;
    }
}

void receiveExactly(int fd, std::int64_t count) {
    std::vector<char> chunk(64 * 1024);
    while (count > 0) {
        const auto size = static_cast<std::size_t>(std::min<std::int64_t>(count, chunk.size()));
        const ssize_t got = ::recv(fd, chunk.data(), size, 0);
        if (got <= 0) throw std::runtime_error("connection ended early");
        count -= got;
    }
}

// A TCP listener on 127.0.0.1 that, for each accepted connection in turn, takes in `upload`
// bytes, answers with `download` bytes and closes once the client has closed.
class LoopbackServer {
public:
    LoopbackServer(std::int64_t upload, std::int64_t download) {
        listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener_.valid()) throw std::runtime_error("socket failed");
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_.get(), 8) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("listen on 127.0.0.1 failed");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, upload, download] { serve(upload, download); });
    }

    ~LoopbackServer() {
        ::shutdown(listener_.get(), SHUT_RDWR);  // ends a pending accept()
        thread_.join();
    }

    int port() const { return port_; }

    // Waits until `count` connections have been served and closed on the server side.
    bool waitForClosed(int count) const {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (closed_.load() < count) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

private:
    void serve(std::int64_t upload, std::int64_t download) {
        for (;;) {
            UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection.valid()) return;
            try {
                receiveExactly(connection.get(), upload);
                sendAll(connection.get(), download);
                char byte;
                while (::recv(connection.get(), &byte, 1, 0) > 0) {
                }
            } catch (const std::exception&) {
                // the client went away; wait for the next one
            }
            connection.reset();
            ++closed_;
        }
    }

    UniqueFd listener_;
    int port_ = 0;
    std::atomic<int> closed_{0};
    std::thread thread_;
};

// Connects to the server, uploads and downloads, and keeps the connection open.
UniqueFd transfer(int port, std::int64_t upload, std::int64_t download) {
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = loopback(port);
    if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("connect failed");
    }
    sendAll(client.get(), upload);
    receiveExactly(client.get(), download);
    return client;
}

double relativeError(std::int64_t measured, std::int64_t expected) {
    return std::abs(static_cast<double>(measured - expected)) / static_cast<double>(expected);
}

// Samples until both directions have grown by about the expected amounts (the last ACKs may
// trail the data by a moment), then returns the last sample.
ByteCounts sampleUntilNear(ByteCounterSource& source, const std::optional<std::string>& name,
                           ByteCounts base, std::int64_t down, std::int64_t up) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    for (;;) {
        const ByteCounts now = source.sample(name);
        const bool near = relativeError(now.rx - base.rx, down) <= 0.03 &&
                          relativeError(now.tx - base.tx, up) <= 0.03;
        if (near || std::chrono::steady_clock::now() >= deadline) return now;
        std::this_thread::sleep_for(10ms);
    }
}

class SocksCountersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SocksConnectionByteCounters::available()) {
            GTEST_SKIP() << "socket diagnostics over netlink are not available here";
        }
    }
};

// ---- the SOCKS listener's connections -------------------------------------------------------

TEST_F(SocksCountersTest, CountsATransferThroughTheListenerInBothDirections) {
    constexpr std::int64_t kUpload = 4 * kMiB;
    constexpr std::int64_t kDownload = 4 * kMiB + kMiB / 2;  // unequal, so a swap would show
    LoopbackServer server(kUpload, kDownload);
    SocksConnectionByteCounters counters(server.port());
    const ByteCounts before = counters.sample(std::nullopt);

    UniqueFd client = transfer(server.port(), kUpload, kDownload);
    const ByteCounts during = sampleUntilNear(counters, std::nullopt, before, kDownload, kUpload);
    const std::int64_t down = during.rx - before.rx;
    const std::int64_t up = during.tx - before.tx;
    std::printf(
        "[ measured ] download %lld of %lld bytes (%+.3f%%), upload %lld of %lld bytes "
        "(%+.3f%%)\n",
        static_cast<long long>(down), static_cast<long long>(kDownload),
        100.0 * static_cast<double>(down - kDownload) / kDownload, static_cast<long long>(up),
        static_cast<long long>(kUpload), 100.0 * static_cast<double>(up - kUpload) / kUpload);
    EXPECT_LE(relativeError(down, kDownload), 0.03) << "download (rx) " << down;
    EXPECT_LE(relativeError(up, kUpload), 0.03) << "upload (tx) " << up;

    // The connection closes; what it carried stays counted.
    client.reset();
    ASSERT_TRUE(server.waitForClosed(1));
    const ByteCounts closed = counters.sample(std::nullopt);
    EXPECT_GE(closed.rx, during.rx);
    EXPECT_GE(closed.tx, during.tx);
    const ByteCounts later = counters.sample(std::nullopt);
    EXPECT_GE(later.rx, closed.rx);
    EXPECT_GE(later.tx, closed.tx);
    EXPECT_LE(relativeError(later.rx - before.rx, kDownload), 0.03);
    EXPECT_LE(relativeError(later.tx - before.tx, kUpload), 0.03);
}

TEST_F(SocksCountersTest, ClosedConnectionsAddUpWithLaterOnes) {
    constexpr std::int64_t kEach = kMiB;
    LoopbackServer server(kEach, kEach);
    SocksConnectionByteCounters counters(server.port());
    const ByteCounts before = counters.sample(std::nullopt);

    {
        UniqueFd first = transfer(server.port(), kEach, kEach);
        sampleUntilNear(counters, std::nullopt, before, kEach, kEach);
    }
    ASSERT_TRUE(server.waitForClosed(1));
    UniqueFd second = transfer(server.port(), kEach, kEach);
    const ByteCounts both = sampleUntilNear(counters, std::nullopt, before, 2 * kEach, 2 * kEach);
    EXPECT_LE(relativeError(both.rx - before.rx, 2 * kEach), 0.03);
    EXPECT_LE(relativeError(both.tx - before.tx, 2 * kEach), 0.03);
}

TEST_F(SocksCountersTest, ConnectionsOfOtherPortsAreNotCounted) {
    LoopbackServer watched(16, 16);
    LoopbackServer other(kMiB, kMiB);
    SocksConnectionByteCounters counters(watched.port());
    const ByteCounts before = counters.sample(std::nullopt);

    UniqueFd busy = transfer(other.port(), kMiB, kMiB);
    const ByteCounts after = counters.sample(std::nullopt);
    EXPECT_EQ(after.rx - before.rx, 0);
    EXPECT_EQ(after.tx - before.tx, 0);
}

TEST(SocksCounters, AnImpossiblePortReadsZero) {
    EXPECT_EQ(SocksConnectionByteCounters(0).sample(std::nullopt), ByteCounts{});
    EXPECT_EQ(SocksConnectionByteCounters(70'000).sample(std::nullopt), ByteCounts{});
}

// ---- interface link counters ----------------------------------------------------------------

void sendLoopbackDatagrams(int count) {
    UniqueFd receiver(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(receiver.valid() && sender.valid());
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(receiver.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::vector<char> payload(1024, 'd');
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(::sendto(sender.get(), payload.data(), payload.size(), 0,
                           reinterpret_cast<sockaddr*>(&address), sizeof address),
                  static_cast<ssize_t>(payload.size()));
    }
}

bool hasTunnelInterface() {
    bool found = false;
    if (struct if_nameindex* names = ::if_nameindex()) {
        for (auto* entry = names; entry->if_index != 0; ++entry) {
            if (std::strncmp(entry->if_name, "utun", 4) == 0) found = true;
        }
        ::if_freenameindex(names);
    }
    return found;
}

TEST(InterfaceCounters, NamedInterfaceCountsItsTraffic) {
    InterfaceByteCounters counters;
    sendLoopbackDatagrams(1);
    const ByteCounts before = counters.sample("lo");
    if (before == ByteCounts{}) GTEST_SKIP() << "no link statistics for lo on this system";

    sendLoopbackDatagrams(32);
    const ByteCounts after = counters.sample("lo");
    if (after.rx < before.rx) GTEST_SKIP() << "the 32-bit lo counter wrapped";
    EXPECT_GE(after.rx - before.rx, 32 * 1024);
    EXPECT_GE(after.tx - before.tx, 32 * 1024);
    EXPECT_LE(after.rx, std::int64_t{0xFFFFFFFF}) << "link counters are 32 bits wide";
}

TEST(InterfaceCounters, UnknownOrPartialNamesReadZero) {
    InterfaceByteCounters counters;
    sendLoopbackDatagrams(4);
    EXPECT_EQ(counters.sample("nimbra-none0"), ByteCounts{});
    EXPECT_EQ(counters.sample("l"), ByteCounts{}) << "names match exactly, not by prefix";
}

TEST(InterfaceCounters, WithoutANameOnlyTunnelInterfacesCount) {
    if (hasTunnelInterface()) GTEST_SKIP() << "this system has a utun interface";
    InterfaceByteCounters counters;
    sendLoopbackDatagrams(4);
    EXPECT_EQ(counters.sample(std::nullopt), ByteCounts{});
    EXPECT_EQ(counters.sample(std::string()), ByteCounts{}) << "an empty name is no name";
}

// ---- the composite ----------------------------------------------------------------------------

TEST_F(SocksCountersTest, TunnelCountersWithoutANameIncludeTheListenersConnections) {
    if (hasTunnelInterface()) GTEST_SKIP() << "this system has a utun interface";
    constexpr std::int64_t kEach = 2 * kMiB;
    LoopbackServer server(kEach, kEach / 2);
    TunnelByteCounters counters(server.port());
    const ByteCounts before = counters.sample(std::nullopt);

    UniqueFd client = transfer(server.port(), kEach, kEach / 2);
    const ByteCounts after = sampleUntilNear(counters, std::nullopt, before, kEach / 2, kEach);
    EXPECT_LE(relativeError(after.rx - before.rx, kEach / 2), 0.03);
    EXPECT_LE(relativeError(after.tx - before.tx, kEach), 0.03);
}

TEST_F(SocksCountersTest, TunnelCountersWithANameReadOnlyThatInterface) {
    constexpr std::int64_t kEach = kMiB;
    LoopbackServer server(kEach, kEach);
    TunnelByteCounters counters(server.port());
    UniqueFd client = transfer(server.port(), kEach, kEach);

    EXPECT_EQ(counters.sample("nimbra-none0"), ByteCounts{}) << "the listener is not counted";
    const ByteCounts lo = counters.sample("lo");
    const ByteCounts direct = InterfaceByteCounters().sample("lo");
    if (direct == ByteCounts{}) GTEST_SKIP() << "no link statistics for lo on this system";
    EXPECT_GT(lo.rx, 0);
    EXPECT_LE(lo.rx, direct.rx) << "the same 32-bit counter, read a moment earlier";
}

}  // namespace
}  // namespace nimbra
