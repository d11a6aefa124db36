#include "proxy/local_socks_gateway.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <thread>

#include "base/subprocess.hpp"
#include "model/preference_keys.hpp"
#include "proxy/gateway_error.hpp"
#include "support/line_reader.hpp"
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

std::string ipv4Request(char command, std::uint16_t port, const char address[4] = "\x7f\0\0\x01") {
    return std::string("\x05", 1) + command + std::string("\x00\x01", 2) + std::string(address, 4) +
           static_cast<char>(port >> 8) + static_cast<char>(port & 0xFF);
}

class Gateway : public ::testing::TestWithParam<PumpMethod> {
protected:
    Gateway() {
        timings_.gatewayDialWait = 2s;
        timings_.portFreeWait = 3s;
        timings_.pidPoll = 20ms;
    }
    void start() { gateway().start(home_.port()); }
    LocalSocksGateway& gateway() {
        if (!gateway_)
            gateway_.emplace(AppPreferences(home_.store()), ProcessTable::system(), timings_,
                             GetParam());
        return *gateway_;
    }
    // A client that has offered `methods` and been answered "no authentication".
    TestConnection greeted(const std::string& methods = std::string("\x01\x00", 2)) {
        TestConnection client = TestConnection::to(home_.port());
        client.send("\x05" + methods);
        EXPECT_EQ(client.recvExact(2), std::string("\x05\x00", 2));
        return client;
    }
    TestConnection tunnelTo(int port) {
        TestConnection client = greeted();
        client.send(ipv4Request(0x01, static_cast<std::uint16_t>(port)));
        EXPECT_EQ(client.recvExact(10), kGranted);
        return client;
    }

    testing::UsqueTestHome home_;
    Timings timings_;
    std::optional<LocalSocksGateway> gateway_;
};

TEST_P(Gateway, GrantsConnectWhateverMethodsAreOfferedAndRelaysBothWays) {
    TestServer origin(testing::echoSession);
    start();
    TestConnection client = greeted(std::string("\x01\x02", 2));  // username/password only
    client.send(ipv4Request(0x01, static_cast<std::uint16_t>(origin.port())) + "early");
    EXPECT_EQ(client.recvExact(10), kGranted);
    EXPECT_EQ(client.recvExact(5), "early");

    // A host name resolves to IPv4.
    TestConnection byName = greeted(std::string("\x00", 1));  // no methods at all
    byName.send(std::string("\x05\x01\x00\x03\x09localhost", 14) +
                static_cast<char>(origin.port() >> 8) + static_cast<char>(origin.port() & 0xFF));
    EXPECT_EQ(byName.recvExact(10), kGranted);
}

TEST_P(Gateway, ReadsMessagesTrickledByteByByteWithoutReadingPastThem) {
    TestServer origin(testing::echoSession);
    start();
    TestConnection client = TestConnection::to(home_.port());
    const std::string handshake = std::string("\x05\x02\x00\x01", 4) +
                                  ipv4Request(0x01, static_cast<std::uint16_t>(origin.port()));
    for (char byte : handshake) {
        client.send(std::string(1, byte));
        std::this_thread::sleep_for(2ms);  // each byte its own segment, often one read each
    }
    client.send("early");
    EXPECT_EQ(client.recvExact(2), std::string("\x05\x00", 2));
    EXPECT_EQ(client.recvExact(10), kGranted);
    EXPECT_EQ(client.recvExact(5), "early");
}

TEST_P(Gateway, RefusesWhatItCannotOrMustNotDial) {
    TestServer origin(testing::echoSession);
    start();
    const auto ownPort = static_cast<std::uint16_t>(home_.port());
    struct Case {
        const char* what;
        std::string request;
        char code;
    } cases[] = {
        {"empty name", std::string("\x05\x01\x00\x03\x00", 5), 0x01},
        {"unknown address type", std::string("\x05\x01\x00\x07", 4), 0x01},
        {"name not UTF-8", std::string("\x05\x01\x00\x03\x02\xff\xfe\x00\x50", 9), 0x01},
        {"BIND", ipv4Request(0x02, 80), 0x07},
        {"UDP ASSOCIATE", ipv4Request(0x03, 80), 0x07},
        {"IPv6",
         std::string("\x05\x01\x00\x04", 4) + std::string(15, '\0') +
             std::string("\x01\x00\x50", 3),
         0x08},
        {"itself", ipv4Request(0x01, ownPort), 0x02},
        {"itself by name",
         std::string("\x05\x01\x00\x03\x09LocalHost", 14) + static_cast<char>(ownPort >> 8) +
             static_cast<char>(ownPort & 0xFF),
         0x02},
        {"nobody listening",
         ipv4Request(0x01, static_cast<std::uint16_t>(testing::freeLoopbackPort())), 0x05},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TestConnection client = greeted();
        client.send(c.request);
        EXPECT_EQ(client.recvUntilClosed(), refusal(c.code));
    }
    // A wrong version closes without a reply, in the greeting and in the request.
    TestConnection badGreeting = TestConnection::to(home_.port());
    badGreeting.send("\x04\x01\x00");
    EXPECT_TRUE(badGreeting.closesWithoutData());
    TestConnection badRequest = greeted();
    badRequest.send(ipv4Request(0x01, 80).replace(0, 1, "\x04"));
    EXPECT_TRUE(badRequest.closesWithoutData());
    // The gateway itself on another port than its own is dialled like anything else.
    EXPECT_EQ(origin.accepted(), 0);
    tunnelTo(origin.port());
}

TEST_P(Gateway, CarriesBulkDataIntactInBothDirectionsAndPassesHalfCloses) {
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
    std::string echoed = client.recvUntilClosed(20s);
    writer.join();
    EXPECT_EQ(echoed.size(), payload.size());
    EXPECT_TRUE(echoed == payload);
}

TEST_P(Gateway, AnOriginResetClosesTheClient) {
    TestServer origin([](TestConnection& connection) {
        connection.recvExact(1);
        linger hard{1, 0};  // close with RST
        ::setsockopt(connection.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    });
    start();
    TestConnection client = tunnelTo(origin.port());
    client.send("x");
    EXPECT_EQ(client.recvUntilClosed(), "");
}

INSTANTIATE_TEST_SUITE_P(PumpMethods, Gateway,
                         ::testing::Values(PumpMethod::splice, PumpMethod::buffered),
                         [](const auto& info) {
                             return info.param == PumpMethod::splice ? "Splice" : "Buffered";
                         });

class GatewayStart : public Gateway {};

// Uses up every descriptor the process may open, except those already in use.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 4096);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers_.push_back(fd);
    }
    ~DescriptorsExhausted() {
        for (int fd : fillers_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

TEST_P(GatewayStart, KeepsAcceptingAfterRunningOutOfDescriptors) {
    start();
    UniqueFd waiting(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(home_.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    {
        DescriptorsExhausted exhausted;
        // The kernel completes the handshake, but the gateway cannot accept it yet.
        ASSERT_EQ(::connect(waiting.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        std::this_thread::sleep_for(300ms);
    }
    TestConnection client(std::move(waiting));
    client.send(std::string("\x05\x01\x00", 3));
    EXPECT_EQ(client.recvExact(2, 3s), std::string("\x05\x00", 2));
}

TEST_P(GatewayStart, EndsAStaleUsqueOnItsPortButNotOtherPrograms) {
    home_.writeRegistration();
    testing::PriorUsque prior(home_, /*http2=*/false);
    start();
    EXPECT_TRUE(gateway().isRunning());
    EXPECT_TRUE(prior.exited());
    EXPECT_EQ(gateway().listenPort(), home_.port());
    gateway().stop();
    EXPECT_FALSE(gateway().isRunning());

    auto holder = Subprocess::start({.argv = {testing::TraceServerProcess::programPath(), "--port",
                                              std::to_string(home_.port()), "--exit-with-parent"},
                                     .environment = std::nullopt,
                                     .workingDirectory = std::nullopt,
                                     .output = Subprocess::Output::separate});
    testing::LineReader holderOut(holder.releaseStdout());
    ASSERT_TRUE(holderOut.waitFor("listening", 5s));
    try {
        start();
        FAIL() << "bound a port another program holds";
    } catch (const GatewayError& e) {
        EXPECT_TRUE(e.description(AppLanguage::chinese).starts_with("兼容 SOCKS :"));
    }
    EXPECT_TRUE(holder.running());
    holder.signal(SIGTERM);
    holder.wait(3s);
}

TEST_P(GatewayStart, RefusesAPortOutOfRangeNamingTheSocksSetting) {
    home_.store().setInteger(prefkey::socksPort,
                             18088);  // read back through the accessor's rewrite
    try {
        gateway().start(70000);
        FAIL() << "port 70000 accepted";
    } catch (const GatewayError& e) {
        EXPECT_EQ(e.description(AppLanguage::chinese),
                  "兼容 SOCKS :19999 启动失败: bad port 70000");
    }
}

INSTANTIATE_TEST_SUITE_P(Default, GatewayStart, ::testing::Values(preferredPumpMethod()));

}  // namespace
}  // namespace nimbra
