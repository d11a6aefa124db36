#include "proxy/local_socks_gateway.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <random>
#include <thread>

#include "model/preference_keys.hpp"
#include "proxy/gateway_error.hpp"
#include "proxy/http_socks_relay.hpp"
#include "support/loopback_peer.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::TestConnection;
using testing::TestServer;

const std::string kGranted("\x05\x00\x00\x01\0\0\0\0\0\0", 10);

std::string refusal(char code) {
    return std::string("\x05", 1) + code + std::string("\x00\x01\0\0\0\0\0\0", 8);
}

std::string port16(int port) {
    return {static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

// A request for 127.0.0.1:port.
std::string ipv4Request(char command, int port) {
    return std::string("\x05", 1) + command + std::string("\x00\x01\x7f\0\0\x01", 6) + port16(port);
}

class Gateway : public ::testing::TestWithParam<PumpMethod> {
protected:
    Gateway() {
        timings_.gatewayDialWait = 2s;
        timings_.portFreeWait = 3s;
        timings_.pidPoll = 20ms;
    }
    LocalSocksGateway& gateway() {
        if (!gateway_)
            gateway_.emplace(AppPreferences(home_.store()), ProcessTable::system(), timings_,
                             GetParam());
        return *gateway_;
    }
    void start() { gateway().start(home_.port()); }
    // A client that has offered `methods` and been answered "no authentication".
    TestConnection greeted(const std::string& methods = std::string("\x01\x00", 2)) {
        TestConnection client = TestConnection::to(home_.port());
        client.send("\x05" + methods);
        EXPECT_EQ(client.recvExact(2), std::string("\x05\x00", 2));
        return client;
    }
    TestConnection tunnelTo(int port) {
        TestConnection client = greeted();
        client.send(ipv4Request(0x01, port));
        EXPECT_EQ(client.recvExact(10), kGranted);
        return client;
    }

    testing::UsqueTestHome home_;
    Timings timings_;
    std::optional<LocalSocksGateway> gateway_;
};

TEST_P(Gateway, GrantsConnectWhateverMethodsAreOfferedAndKeepsEarlyBytesInOrder) {
    TestServer origin(testing::echoSession);
    start();
    // Each byte its own segment, often one read each; the bytes after the request are the
    // stream's and must not be swallowed by the handshake.
    TestConnection trickled = TestConnection::to(home_.port());
    for (char byte : std::string("\x05\x02\x00\x01", 4) + ipv4Request(0x01, origin.port())) {
        trickled.send(std::string(1, byte));
        std::this_thread::sleep_for(2ms);
    }
    trickled.send("early");
    EXPECT_EQ(trickled.recvExact(12), std::string("\x05\x00", 2) + kGranted);
    EXPECT_EQ(trickled.recvExact(5), "early");

    // Only username/password offered: still "no authentication"; a name resolves to IPv4.
    TestConnection byName = greeted(std::string("\x01\x02", 2));
    byName.send(std::string("\x05\x01\x00\x03\x09localhost", 14) + port16(origin.port()));
    EXPECT_EQ(byName.recvExact(10), kGranted);
}

TEST_P(Gateway, RefusesWhatItCannotOrMustNotDial) {
    TestServer origin(testing::echoSession);
    start();
    struct Case {
        const char* what;
        std::string request;
        char code;
    } cases[] = {
        {"unknown address type", std::string("\x05\x01\x00\x07", 4), 0x01},
        {"BIND", ipv4Request(0x02, 80), 0x07},
        {"IPv6",
         std::string("\x05\x01\x00\x04", 4) + std::string(15, '\0') +
             std::string("\x01\x00\x50", 3),
         0x08},
        {"itself by name", std::string("\x05\x01\x00\x03\x09LocalHost", 14) + port16(home_.port()),
         0x02},
        {"nobody listening", ipv4Request(0x01, testing::freeLoopbackPort()), 0x05},
    };
    for (const auto& c : cases) {
        TestConnection client = greeted();
        client.send(c.request);
        EXPECT_EQ(client.recvUntilClosed(), refusal(c.code)) << c.what;
    }
    // A wrong version closes without a reply, in the greeting and in the request.
    TestConnection badGreeting = TestConnection::to(home_.port());
    badGreeting.send("\x04\x01\x00");
    EXPECT_TRUE(badGreeting.closesWithoutData());
    TestConnection badRequest = greeted();
    badRequest.send(ipv4Request(0x01, 80).replace(0, 1, "\x04"));
    EXPECT_TRUE(badRequest.closesWithoutData());
    EXPECT_EQ(origin.accepted(), 0);
}

TEST_P(Gateway, CarriesBulkDataIntactBothWaysAndPassesHalfClosesAndResets) {
    TestServer origin(testing::echoSession);
    start();
    TestConnection client = tunnelTo(origin.port());
    std::string payload(4 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : payload) c = static_cast<char>(random());
    std::thread writer([&] {
        client.send(payload);
        client.shutdownWrite();  // the echo still has to come back in full
    });
    const std::string echoed = client.recvUntilClosed(20s);
    writer.join();
    EXPECT_EQ(echoed.size(), payload.size());
    EXPECT_TRUE(echoed == payload);

    TestServer resetting([](TestConnection& connection) {
        connection.recvExact(1);
        linger hard{1, 0};  // close with RST
        ::setsockopt(connection.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    });
    TestConnection reset = tunnelTo(resetting.port());
    reset.send("x");
    EXPECT_EQ(reset.recvUntilClosed(), "");
}

INSTANTIATE_TEST_SUITE_P(PumpMethods, Gateway,
                         ::testing::Values(PumpMethod::splice, PumpMethod::buffered),
                         [](const auto& info) {
                             return info.param == PumpMethod::splice ? "Splice" : "Buffered";
                         });

class GatewayStart : public Gateway {};

TEST_P(GatewayStart, KeepsAcceptingAfterRunningOutOfDescriptors) {
    start();
    UniqueFd waiting(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(home_.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 4096);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    // The kernel completes the handshake, but the gateway cannot accept it yet.
    const int connected =
        ::connect(waiting.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::this_thread::sleep_for(300ms);
    for (int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(connected, 0);

    TestConnection client(std::move(waiting));
    client.send(std::string("\x05\x01\x00", 3));
    EXPECT_EQ(client.recvExact(2), std::string("\x05\x00", 2));
}

TEST_P(GatewayStart, EndsAStaleUsqueOnItsPortButRefusesPortsItCannotHave) {
    home_.writeRegistration();
    testing::PriorUsque prior(home_, /*http2=*/false);
    start();
    EXPECT_TRUE(prior.exited());
    EXPECT_TRUE(gateway().isRunning());
    EXPECT_EQ(gateway().listenPort(), home_.port());
    gateway().stop();
    EXPECT_FALSE(gateway().isRunning());

    // Another program's port, and one out of range; the error names the SOCKS setting's port.
    testing::TraceServerProcess other;
    home_.store().setInteger(prefkey::socksPort, 18088);  // read back as its replacement
    for (int port : {other.tcpPort(), 70000}) {
        try {
            gateway().start(port);
            ADD_FAILURE() << "started on " << port;
        } catch (const GatewayError& e) {
            EXPECT_TRUE(
                e.description(AppLanguage::chinese).starts_with("兼容 SOCKS :19999 启动失败: "));
        }
    }
    EXPECT_NO_THROW(TestConnection::to(other.tcpPort()));  // still listening
}

TEST_P(GatewayStart, BothLocalProxiesListenOnLoopbackOnly) {
    start();
    HttpSocksRelay relay;
    const int relayPort = testing::freeLoopbackPort();
    relay.start(relayPort, "127.0.0.1", home_.port(), SplitTunnelMode::full, {});
    for (int port : {home_.port(), relayPort}) {
        const std::string listeners = ProcessTable::system().listenerSnapshot(port);
        EXPECT_TRUE(listeners.ends_with(" " + std::to_string(::getpid()) +
                                        " 127.0.0.1:" + std::to_string(port)) &&
                    listeners.find(" | ") == std::string::npos)
            << listeners;
    }
}

INSTANTIATE_TEST_SUITE_P(Default, GatewayStart, ::testing::Values(preferredPumpMethod()));

}  // namespace
}  // namespace nimbra
