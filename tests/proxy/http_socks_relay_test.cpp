#include "proxy/http_socks_relay.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <mutex>
#include <thread>

#include "proxy/proxy_pac.hpp"
#include "proxy/relay_error.hpp"
#include "support/loopback_peer.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::TestConnection;

const std::string kBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string kEstablished =
    "HTTP/1.1 200 Connection Established\r\nProxy-Agent: Nimbra\r\n\r\n";

// The CONNECT request a SOCKS5 client sends for a host name.
std::string nameRequest(const std::string& host, std::uint16_t port) {
    return std::string("\x05\x01\x00\x03", 4) + static_cast<char>(host.size()) + host +
           static_cast<char>(port >> 8) + static_cast<char>(port & 0xFF);
}

// The relay's SOCKS5 upstream. It records every CONNECT request and, once it has granted one
// (naming its bound address: the longest grant to read), is the destination itself.
class FakeSocks {
public:
    enum class Mode { grantThenEcho, grantThenFlood, refuse, garbage, stall };
    explicit FakeSocks(Mode mode = Mode::grantThenEcho) : mode_(mode) {}
    int port() const { return server_.port(); }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Bytes the flood got into the socket before the other side stopped taking them.
    std::size_t flooded() {
        std::lock_guard lock(mutex_);
        return flooded_;
    }

private:
    void session(TestConnection& connection) {
        if (mode_ == Mode::stall) return void(connection.recvUntilClosed(30s));
        connection.recvExact(3);
        if (mode_ == Mode::garbage) return connection.send("HTTP/1.1 400 Bad Request\r\n\r\n");
        connection.send(std::string("\x05\x00", 2));
        std::string request = connection.recvExact(4);
        if (request[3] == 0x01) request += connection.recvExact(6);
        if (request[3] == 0x03) request += connection.recvExact(1);
        if (request[3] == 0x03)
            request += connection.recvExact(static_cast<unsigned char>(request[4]) + 2u);
        std::unique_lock lock(mutex_);
        requests_.push_back(request);
        lock.unlock();
        if (mode_ == Mode::refuse)
            return connection.send(std::string("\x05\x05\x00\x01\0\0\0\0\0\0", 10));
        connection.send(std::string("\x05\x00\x00\x03\x04host\x01\xbb", 11));
        if (mode_ == Mode::grantThenEcho) return testing::echoSession(connection);
        // Writes until the relay stops taking bytes for a whole second.
        const std::string chunk(65536, 'x');
        std::size_t total = 0;
        for (pollfd entry{connection.fd(), POLLOUT, 0}; ::poll(&entry, 1, 1000) > 0;) {
            ssize_t sent =
                ::send(connection.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) break;
            total += static_cast<std::size_t>(sent);
        }
        lock.lock();
        flooded_ = total;
    }

    Mode mode_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::size_t flooded_ = 0;
    testing::TestServer server_{[this](TestConnection& connection) { session(connection); }};
};
using Mode = FakeSocks::Mode;

class Relay : public ::testing::Test {
protected:
    static Timings timings() {
        Timings timings;
        timings.relayUpstreamWait = 300ms;
        timings.relayHeadWait = 300ms;
        return timings;
    }
    void startThrough(const FakeSocks& upstream) {
        relay_.start(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::full, {});
    }
    TestConnection client() { return TestConnection::to(port_); }

    HttpSocksRelay relay_{timings()};
    int port_ = testing::freeLoopbackPort();
};

TEST_F(Relay, ServesItsLatestRoutingScriptWithItsByteLength) {
    FakeSocks upstream;
    startThrough(upstream);
    // A second start changes nothing; updateRouting replaces the script.
    relay_.start(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::autoSplit, {"a.example"});
    EXPECT_EQ(relay_.routingScript(),
              ProxyPAC::generate(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::full, {}));
    relay_.updateRouting(port_, "127.0.0.1", upstream.port(), SplitTunnelMode::autoSplit, {});
    const std::string script = relay_.routingScript();
    EXPECT_EQ(script, ProxyPAC::generate(port_, "127.0.0.1", upstream.port(),
                                         SplitTunnelMode::autoSplit, {}));
    const std::string expected =
        "HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\nContent-Length: " +
        std::to_string(script.size()) + "\r\nConnection: close\r\nCache-Control: no-cache\r\n\r\n" +
        script;
    for (const char* requestLine : {"get /proxy.pac HTTP/1.1", "GET /proxy.pac?t=1 HTTP/1.1"}) {
        TestConnection connection = client();
        connection.send(std::string(requestLine) + "\r\nHost: x\r\n\r\nignored rest");
        EXPECT_EQ(connection.recvUntilClosed(), expected) << requestLine;
    }
    relay_.stop();
    EXPECT_FALSE(relay_.isRunning());
    EXPECT_THROW(client(), std::runtime_error);
    relay_.stop();  // stopping twice is harmless
}

TEST_F(Relay, RequestsReachTheirOriginThroughTheRightSocksRequestWithEarlyBytesInOrder) {
    FakeSocks upstream;
    startThrough(upstream);
    const std::string longest(255, 'h');
    struct Case {
        std::string head;
        std::string answer;  // before the echo of what followed the head
        std::string request;
    } cases[] = {
        {"CONNECT example.com:8443 HTTP/1.1\r\n\r\n", kEstablished,
         nameRequest("example.com", 8443)},
        {"CONNECT example.com HTTP/1.1\r\n\r\n", kEstablished, nameRequest("example.com", 443)},
        {"CONNECT [::1]:993 HTTP/1.1\r\n\r\n", kEstablished, nameRequest("::1", 993)},
        {"CONNECT 1.2.3.4:80 HTTP/1.1\r\n\r\n", kEstablished,
         std::string("\x05\x01\x00\x01\x01\x02\x03\x04\x00\x50", 10)},
        {"CONNECT " + longest + ":443 HTTP/1.1\r\n\r\n", kEstablished, nameRequest(longest, 443)},
        // Plain requests: an absolute target becomes origin form, the rest goes as it came.
        {"GET http://example.com/a?b=1 HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n",
         "GET /a?b=1 HTTP/1.1\r\nProxy-Connection: keep-alive\r\n\r\n",
         nameRequest("example.com", 80)},
        {"get http://example.com:8080 HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n\r\n",
         nameRequest("example.com", 8080)},
        {"GET /proxy.pacx HTTP/1.1\r\nhOsT:  origin.test:81 \r\n\r\n",
         "GET /proxy.pacx HTTP/1.1\r\nhOsT:  origin.test:81 \r\n\r\n",
         nameRequest("origin.test", 81)},
        {"POST /proxy.pac HTTP/1.1\r\nHost: example.com\r\n\r\n",
         "POST /proxy.pac HTTP/1.1\r\nHost: example.com\r\n\r\n", nameRequest("example.com", 80)},
    };
    for (const auto& c : cases) {
        TestConnection connection = client();
        connection.send(c.head + "early ");
        connection.send("late");
        EXPECT_EQ(connection.recvExact(c.answer.size() + 10), c.answer + "early late") << c.head;
        EXPECT_EQ(upstream.requests().back(), c.request) << c.head;
    }
    TestConnection tooLong = client();
    tooLong.send("CONNECT " + longest + "h:443 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(tooLong.recvUntilClosed(), kBadGateway);
}

TEST_F(Relay, ABadRequestOrAFailedUpstreamGetsItsAnswerAndMalformedHeadsNone) {
    FakeSocks upstream;
    startThrough(upstream);
    for (const char* head :
         {"GET /x HTTP/1.1\r\nAccept: */*\r\n\r\n",
          "GET https://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n",
          "GET http:///nohost HTTP/1.1\r\n\r\n", "GET /x HTTP/1.1\r\nHost: \r\n\r\n"}) {
        TestConnection connection = client();
        connection.send(head);
        EXPECT_EQ(connection.recvUntilClosed(), kBadRequest) << head;
    }
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

TEST_F(Relay, AnUpstreamThatRefusesAnswersGarbageStallsOrIsAbsentGivesBadGateway) {
    for (auto mode : {Mode::refuse, Mode::garbage, Mode::stall}) {
        FakeSocks upstream(mode);
        HttpSocksRelay relay(timings());
        const int port = testing::freeLoopbackPort();
        relay.start(port, "127.0.0.1", upstream.port(), SplitTunnelMode::full, {});
        TestConnection connection = TestConnection::to(port);
        connection.send("CONNECT example.com:443 HTTP/1.1\r\n\r\n");
        EXPECT_EQ(connection.recvUntilClosed(), kBadGateway);
    }
    relay_.start(port_, "127.0.0.1", testing::freeLoopbackPort(), SplitTunnelMode::full, {});
    TestConnection connection = client();
    connection.send("GET http://example.com/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(connection.recvUntilClosed(), kBadGateway);
}

TEST_F(Relay, AHeadLeftIncompleteGetsTheConnectionClosedAndAServedOneOutlivesTheLimit) {
    FakeSocks upstream;
    startThrough(upstream);
    TestConnection served = client();
    served.send("CONNECT example.com:443 HTTP/1.1\r\n");
    served.send("\r\n");
    EXPECT_EQ(served.recvExact(kEstablished.size()), kEstablished);
    TestConnection stalled = client();
    stalled.send("CONNECT example.com:443 HTTP/1.1\r\nHost: exa");
    // Ten times the head limit: a relay that keeps the connection fails here, not at CTest's end.
    EXPECT_TRUE(stalled.closesWithoutData(10 * timings().relayHeadWait)) << "still open";
    EXPECT_EQ(upstream.requests().size(), 1u);
    // The stalled one came later, so the served tunnel is past its own head limit by now.
    served.send("still open");
    EXPECT_EQ(served.recvExact(10), "still open");
}

TEST_F(Relay, RefusesBadPortsAndBusyPortsWithItsOwnError) {
    FakeSocks holder;  // its port is taken
    for (int port : {0, 65536, holder.port()}) {
        EXPECT_THROW(relay_.start(port, "127.0.0.1", 19999, SplitTunnelMode::full, {}), RelayError)
            << port;
    }
    EXPECT_FALSE(relay_.isRunning());
}

TEST_F(Relay, AClientThatNeverReadsThrottlesItsUpstream) {
    FakeSocks upstream(Mode::grantThenFlood);
    startThrough(upstream);
    TestConnection tunnel = client();
    tunnel.send("CONNECT example.com:443 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(tunnel.recvExact(kEstablished.size()), kEstablished);
    for (int i = 0; i < 200 && upstream.flooded() == 0; ++i) std::this_thread::sleep_for(50ms);
    // What the kernel's socket buffers and one pipe hold, not what the upstream could send.
    EXPECT_GT(upstream.flooded(), 0u);
    EXPECT_LT(upstream.flooded(), 48u << 20);
    EXPECT_EQ(tunnel.recvExact(1 << 20), std::string(1 << 20, 'x'));
}

}  // namespace
}  // namespace nimbra
