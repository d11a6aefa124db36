// The trace-server stand-in's own options, met the way the client's checks meet them: real curl
// over real TLS to 127.0.0.1, and real UDP datagrams. exit_probe_test drives it end to end.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "support/temp_dir.hpp"
#include "support/trace_server_process.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::TempDir;
using nimbra::testing::TraceServerProcess;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// curl trusting the test CA through HOME's .curlrc, and nothing else from our environment.
class TraceServerTest : public ::testing::Test {
protected:
    Subprocess::RunResult curl(std::vector<std::string> args) const {
        Subprocess::Options options;
        options.argv = {"/usr/bin/curl", "-sS"};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.environment = std::vector<std::string>{"HOME=" + home_, "PATH=/usr/bin:/bin"};
        return Subprocess::run(std::move(options), 15s);
    }

    Subprocess::RunResult fetchTrace(const TraceServerProcess& server,
                                     std::vector<std::string> args = {}) const {
        args.insert(args.begin(), {"--resolve", server.curlResolve()});
        args.push_back(server.traceUrl());
        return curl(std::move(args));
    }

    TempDir homeDir_;
    std::string home_ = TraceServerProcess::writeCurlHome(homeDir_.path());
};

// Sends `payload` to 127.0.0.1:port and returns the answer, or nullopt after 2 s of silence.
std::optional<std::string> udpExchange(int port, const std::string& payload) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const timeval timeout{.tv_sec = 2, .tv_usec = 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(socket.get(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
    char buffer[2048];
    const ssize_t got = ::recv(socket.get(), buffer, sizeof buffer, 0);
    if (got < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
}

TEST_F(TraceServerTest, ServesTheDefaultACustomOrAFileBodyWithItsExactLength) {
    TempDir dir;
    std::ofstream(dir / "trace.txt") << "warp=plus\nloc=DE\n";
    const std::pair<TraceServerProcess::Options, std::string> cases[] = {
        {{}, std::string(TraceServerProcess::defaultBody())},
        {{.body = "fl=9\nwarp=off\n"}, "fl=9\nwarp=off\n"},
        {{.body = "ignored", .bodyFile = dir / "trace.txt"}, "warp=plus\nloc=DE\n"},
    };
    for (const auto& [options, body] : cases) {
        TraceServerProcess server(options);
        const auto result = fetchTrace(server, {"-i"});
        ASSERT_TRUE(result.status.succeeded()) << result.err;
        EXPECT_THAT(result.out, HasSubstr("HTTP/1.1 200 OK\r\n"));
        EXPECT_THAT(result.out, HasSubstr("Content-Length: " + std::to_string(body.size())));
        EXPECT_THAT(result.out, EndsWith("\r\n\r\n" + body));
    }
}

TEST_F(TraceServerTest, TheCertificateNamesEveryHostTheClientConnectsTo) {
    TraceServerProcess server;
    const std::string target = "127.0.0.1:" + std::to_string(server.tcpPort());
    for (const std::string host : {"www.cloudflare.com", "localhost", "127.0.0.1", "162.159.198.1",
                                   "[2602:fc59:b0:64::a29f:c601]"}) {
        const auto result =
            curl({"--connect-to", host + ":443:" + target, "https://" + host + "/cdn-cgi/trace"});
        EXPECT_TRUE(result.status.succeeded()) << host << ": " << result.err;
        EXPECT_EQ(result.out, TraceServerProcess::defaultBody()) << host;
    }
}

TEST_F(TraceServerTest, DelayRefuseAndStatusShapeTheAnswer) {
    {
        TraceServerProcess server({.delayMs = 400});
        const auto start = Clock::now();
        EXPECT_TRUE(fetchTrace(server).status.succeeded());
        EXPECT_GE(Clock::now() - start, 400ms);
    }
    {
        TraceServerProcess server({.refuse = true});
        // 35: TLS connect error; 56: failure receiving network data.
        EXPECT_THAT(fetchTrace(server).status.code, ::testing::AnyOf(35, 56));
    }
    TraceServerProcess server({.status = 503});
    EXPECT_EQ(fetchTrace(server, {"-o", "/dev/null", "-w", "%{http_code}"}).out, "503");
}

TEST_F(TraceServerTest, TheUdpResponderEchoesTheStartOfEachDatagramAfterTheDelay) {
    EXPECT_EQ(TraceServerProcess().udpPort(), 0) << "no UDP unless asked for";
    TraceServerProcess server({.delayMs = 300, .udp = true});
    ASSERT_GT(server.udpPort(), 0);
    const auto start = Clock::now();
    EXPECT_EQ(udpExchange(server.udpPort(), "nimbra-latency-probe-0123456789"), "nimbra-latency-p");
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_EQ(udpExchange(server.udpPort(), "ping"), "ping");
}

}  // namespace
}  // namespace nimbra
