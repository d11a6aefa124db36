#include "proxy/http_socks_relay.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "fake_socks_server.hpp"
#include "l10n/localized_error.hpp"
#include "proxy/proxy_pac.hpp"
#include "proxy/relay_error.hpp"
#include "support/loopback_peer.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::FakeSocksServer;
using testing::TestConnection;

const std::string kBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string kEstablished =
    "HTTP/1.1 200 Connection Established\r\nProxy-Agent: Nimbra\r\n\r\n";

Timings shortTimings() {
    Timings timings;
    timings.relayUpstreamWait = 300ms;
    return timings;
}

// The CONNECT request a SOCKS5 client sends for a host name.
std::string nameRequest(const std::string& host, std::uint16_t port) {
    return std::string("\x05\x01\x00\x03", 4) + static_cast<char>(host.size()) + host +
           static_cast<char>(port >> 8) + static_cast<char>(port & 0xFF);
}

class Relay : public ::testing::Test {
protected:
    void startThrough(const FakeSocksServer& upstream) {
        relay_.start(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::full, {});
    }
    TestConnection client() { return TestConnection::to(port_); }

    // Sends a head, expects the tunnel to be granted, and returns the open connection.
    TestConnection connectTunnel(const std::string& head) {
        TestConnection connection = client();
        connection.send(head);
        EXPECT_EQ(connection.recvExact(kEstablished.size()), kEstablished);
        return connection;
    }

    HttpSocksRelay relay_{shortTimings()};
    int port_ = testing::freeLoopbackPort();
};

TEST_F(Relay, ServesTheRoutingScriptWithItsByteLengthAndOnlyForGet) {
    FakeSocksServer upstream;
    startThrough(upstream);
    const std::string script = relay_.routingScript();
    const std::string expected =
        "HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\nContent-Length: " +
        std::to_string(script.size()) + "\r\nConnection: close\r\nCache-Control: no-cache\r\n\r\n" +
        script;
    EXPECT_EQ(script,
              ProxyPAC::generate(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::full, {}));
    EXPECT_NE(script.find("\u2014"), std::string::npos);  // so bytes and characters differ

    for (const char* requestLine : {"get /proxy.pac HTTP/1.1", "GET /proxy.pac?t=1 HTTP/1.1"}) {
        TestConnection connection = client();
        connection.send(std::string(requestLine) + "\r\nHost: x\r\n\r\nignored rest");
        EXPECT_EQ(connection.recvUntilClosed(), expected) << requestLine;
    }
    // Any other method goes to the origin like every plain request.
    TestConnection post = client();
    post.send("POST /proxy.pac HTTP/1.1\r\nHost: example.com\r\n\r\n");
    EXPECT_EQ(post.recvExact(4), "POST");
    EXPECT_EQ(upstream.requests(), std::vector{nameRequest("example.com", 80)});
}

TEST_F(Relay, ASecondStartChangesNothingButUpdateRoutingReplacesTheScript) {
    FakeSocksServer upstream;
    startThrough(upstream);
    const std::string first = relay_.routingScript();
    relay_.start(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::autoSplit, {"a.example"});
    EXPECT_TRUE(relay_.isRunning());
    EXPECT_EQ(relay_.routingScript(), first);

    relay_.updateRouting(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::autoSplit, {});
    EXPECT_EQ(relay_.routingScript(), ProxyPAC::generate(port_, "127.0.0.1", upstream.port(),
                                                         SplitTunnelMode::autoSplit, {}));
    relay_.stop();
    EXPECT_FALSE(relay_.isRunning());
    EXPECT_THROW(client(), std::runtime_error);
    relay_.stop();  // stopping twice is harmless
}

TEST_F(Relay, ConnectTargetsBecomeTheRightSocksRequests) {
    FakeSocksServer upstream;
    startThrough(upstream);
    const std::string longest(255, 'h');
    struct Case {
        std::string target;
        std::string request;
    } cases[] = {
        {"example.com:8443", nameRequest("example.com", 8443)},
        {"example.com", nameRequest("example.com", 443)},
        {"[::1]:993", nameRequest("::1", 993)},
        {"1.2.3.4:80", std::string("\x05\x01\x00\x01\x01\x02\x03\x04\x00\x50", 10)},
        {"1.2.3.256:80", nameRequest("1.2.3.256", 80)},
        {"1..2.3:80", nameRequest("1..2.3", 80)},
        {longest + ":443", nameRequest(longest, 443)},
    };
    for (const auto& c : cases) {
        TestConnection tunnel = connectTunnel("CONNECT " + c.target + " HTTP/1.1\r\n\r\n");
        tunnel.send("ping");
        EXPECT_EQ(tunnel.recvExact(4), "ping") << c.target;
        EXPECT_EQ(upstream.requests().back(), c.request) << c.target;
    }
    TestConnection tooLong = client();
    tooLong.send("CONNECT " + longest + "h:443 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(tooLong.recvUntilClosed(), kBadGateway);
}

TEST_F(Relay, BytesSentWithTheHeadReachTheUpstreamFirst) {
    FakeSocksServer upstream(FakeSocksServer::Mode::grantWithName);
    startThrough(upstream);
    TestConnection tunnel = connectTunnel("CONNECT example.com:443 HTTP/1.1\r\n\r\nhello ");
    tunnel.send("world");
    EXPECT_EQ(tunnel.recvExact(11), "hello world");
}

TEST_F(Relay, PlainRequestsAreRewrittenForTheirOrigin) {
    FakeSocksServer upstream;
    startThrough(upstream);
    struct Case {
        std::string head;
        std::string forwarded;
        std::string request;
    } cases[] = {
        {"GET http://example.com/a?b=1 HTTP/1.0\r\nHost: example.com\r\nProxy-Connection: "
         "keep-alive\r\n\r\n",
         "GET /a?b=1 HTTP/1.1\r\nHost: example.com\r\nProxy-Connection: keep-alive\r\n\r\n",
         nameRequest("example.com", 80)},
        {"get http://example.com:8080 HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n\r\n",
         nameRequest("example.com", 8080)},
        {"GET /x HTTP/1.1\r\nhOsT:  origin.test:81 \r\n\r\n",
         "GET /x HTTP/1.1\r\nhOsT:  origin.test:81 \r\n\r\n", nameRequest("origin.test", 81)},
    };
    for (const auto& c : cases) {
        TestConnection connection = client();
        connection.send(c.head + "body");
        EXPECT_EQ(connection.recvExact(c.forwarded.size() + 4), c.forwarded + "body") << c.head;
        EXPECT_EQ(upstream.requests().back(), c.request) << c.head;
    }
}

TEST_F(Relay, RequestsWithoutAUsableDestinationGetBadRequest) {
    FakeSocksServer upstream;
    startThrough(upstream);
    for (const char* head :
         {"GET /x HTTP/1.1\r\nAccept: */*\r\n\r\n",
          "GET https://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n",
          "GET http:///nohost HTTP/1.1\r\n\r\n", "GET /x HTTP/1.1\r\nHost: \r\n\r\n"}) {
        TestConnection connection = client();
        connection.send(head);
        EXPECT_EQ(connection.recvUntilClosed(), kBadRequest) << head;
    }
    EXPECT_TRUE(upstream.requests().empty());
}

TEST_F(Relay, AnUpstreamThatRefusesAnswersGarbageOrStallsGivesBadGateway) {
    for (auto mode : {FakeSocksServer::Mode::refuse, FakeSocksServer::Mode::garbage,
                      FakeSocksServer::Mode::stall}) {
        FakeSocksServer upstream(mode);
        HttpSocksRelay relay(shortTimings());
        int port = testing::freeLoopbackPort();
        relay.start(port, "127.0.0.1", upstream.port(), SplitTunnelMode::full, {});
        auto started = std::chrono::steady_clock::now();
        TestConnection connection = TestConnection::to(port);
        connection.send("CONNECT example.com:443 HTTP/1.1\r\n\r\n");
        EXPECT_EQ(connection.recvUntilClosed(), kBadGateway);
        if (mode == FakeSocksServer::Mode::stall) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, shortTimings().relayUpstreamWait);
        }
    }
    // Nobody listening upstream at all.
    relay_.start(port_, "127.0.0.1", testing::freeLoopbackPort(), SplitTunnelMode::full, {});
    TestConnection connection = client();
    connection.send("GET http://example.com/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(connection.recvUntilClosed(), kBadGateway);
}

TEST_F(Relay, MalformedHeadsAreClosedWithoutAnswer) {
    FakeSocksServer upstream;
    startThrough(upstream);
    const std::string oversized(256 * 1024 + 1, 'a');
    for (const std::string& head :
         {std::string("GET / HTTP/1.1\r\nHost: x\r\n"),  // then EOF
          oversized, std::string("GET /\xff\xfe HTTP/1.1\r\n\r\n"), std::string("GET\r\n\r\n"),
          std::string("\r\n\r\n"), std::string("\r\n\r\n\r\n\r\nGET\r\n\r\n")}) {
        TestConnection connection = client();
        connection.send(head);
        connection.shutdownWrite();
        EXPECT_TRUE(connection.closesWithoutData()) << head.substr(0, 40);
    }
    EXPECT_TRUE(upstream.requests().empty());
}

TEST_F(Relay, RefusesBadPortsAndBusyPortsWithItsOwnError) {
    try {
        relay_.start(0, "127.0.0.1", 19999, SplitTunnelMode::full, {});
        FAIL() << "port 0 accepted";
    } catch (const RelayError& e) {
        EXPECT_EQ(e.description(AppLanguage::english), "HTTP→SOCKS 网关启动失败: bad port 0");
    }
    EXPECT_THROW(relay_.start(65536, "127.0.0.1", 19999, SplitTunnelMode::full, {}), RelayError);

    FakeSocksServer holder;  // its port is taken
    EXPECT_THROW(relay_.start(holder.port(), "127.0.0.1", 19999, SplitTunnelMode::full, {}),
                 RelayError);
    EXPECT_FALSE(relay_.isRunning());
}

// The listener's local address as /proc shows it: hex address and port.
std::vector<std::string> listenAddressesOf(int port) {
    std::vector<std::string> found;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.ends_with(portHex)) found.push_back(local);
        }
    }
    return found;
}

TEST_F(Relay, ListensOnLoopbackOnly) {
    FakeSocksServer upstream;
    startThrough(upstream);
    char expected[16];
    std::snprintf(expected, sizeof expected, "0100007F:%04X", port_);
    EXPECT_EQ(listenAddressesOf(port_), std::vector<std::string>{expected});
}

TEST_F(Relay, AClientThatNeverReadsThrottlesItsUpstream) {
    FakeSocksServer upstream(FakeSocksServer::Mode::grantThenFlood);
    startThrough(upstream);
    TestConnection tunnel = connectTunnel("CONNECT example.com:443 HTTP/1.1\r\n\r\n");
    for (int i = 0; i < 200 && upstream.flooded() == 0; ++i) std::this_thread::sleep_for(50ms);
    // What the kernel's socket buffers and one pipe hold, not what the upstream could send.
    EXPECT_GT(upstream.flooded(), 0u);
    EXPECT_LT(upstream.flooded(), 48u << 20);
    EXPECT_EQ(tunnel.recvExact(1 << 20), std::string(1 << 20, 'x'));
}

}  // namespace
}  // namespace nimbra
