// Tests of the trace-server stand-in itself, driven the way the client's own checks will meet
// it: real curl over real TLS to 127.0.0.1, and real UDP datagrams.

#include "support/trace_server_process.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::TempDir;
using nimbra::testing::TraceServerProcess;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

constexpr auto kCurlPatience = 15s;

// curl with HOME holding a .curlrc that trusts the test CA, and nothing else from our
// environment (no proxies, no other curlrc).
class TraceServerTest : public ::testing::Test {
protected:
    Subprocess::RunResult curl(std::vector<std::string> args) const {
        Subprocess::Options options;
        options.argv = {"/usr/bin/curl", "-sS"};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.environment = std::vector<std::string>{"HOME=" + home_, "PATH=/usr/bin:/bin"};
        return Subprocess::run(std::move(options), kCurlPatience);
    }

    Subprocess::RunResult fetchTrace(const TraceServerProcess& server,
                                     std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"--resolve", server.curlResolve()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(server.traceUrl());
        return curl(std::move(args));
    }

    TempDir homeDir_;
    std::string home_ = TraceServerProcess::writeCurlHome(homeDir_.path());
};

std::string describe(const Subprocess::RunResult& result) {
    return "exit " + std::to_string(result.status.code) + ", stderr: " + result.err;
}

// Sends `payload` to 127.0.0.1:port and returns the answer, or nullopt after 2 s of silence.
std::optional<std::string> udpExchange(int port, const std::string& payload) {
    UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) throw std::runtime_error("socket() failed");
    const timeval timeout{.tv_sec = 2, .tv_usec = 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::sendto(socket.get(), payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to) != static_cast<ssize_t>(payload.size())) {
        throw std::runtime_error("sendto() failed");
    }

    char buffer[2048];
    const ssize_t got = ::recv(socket.get(), buffer, sizeof buffer, 0);
    if (got < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
}

TEST_F(TraceServerTest, ServesTheDefaultTraceOverVerifiedTls) {
    TraceServerProcess server;
    const auto result = fetchTrace(server);
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_EQ(result.out, TraceServerProcess::defaultBody());
    EXPECT_THAT(result.out, HasSubstr("warp=on\n"));
}

TEST_F(TraceServerTest, ServesACustomBody) {
    TraceServerProcess server({.body = "fl=9\nwarp=off\ngateway=off\n"});
    const auto result = fetchTrace(server);
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_EQ(result.out, "fl=9\nwarp=off\ngateway=off\n");
}

TEST_F(TraceServerTest, ServesABodyFromAFile) {
    TempDir dir;
    const auto bodyFile = dir / "trace.txt";
    std::ofstream(bodyFile) << "warp=plus\nloc=DE\n";

    TraceServerProcess server({.bodyFile = bodyFile});
    const auto result = fetchTrace(server);
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_EQ(result.out, "warp=plus\nloc=DE\n");
}

TEST_F(TraceServerTest, SendsHeadersWithTheExactLength) {
    TraceServerProcess server({.body = "warp=on\n"});
    const auto result = fetchTrace(server, {"-i"});
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_THAT(result.out, HasSubstr("HTTP/1.1 200 OK\r\n"));
    EXPECT_THAT(result.out, HasSubstr("Content-Type: text/plain\r\n"));
    EXPECT_THAT(result.out, HasSubstr("Content-Length: 8\r\n"));
    EXPECT_THAT(result.out, HasSubstr("Connection: close\r\n"));
}

TEST_F(TraceServerTest, TheCertificateNamesTheLoopbackAddressAndLocalhost) {
    TraceServerProcess server;
    const std::string port = std::to_string(server.tcpPort());

    const auto byAddress = curl({"https://127.0.0.1:" + port + "/cdn-cgi/trace"});
    EXPECT_TRUE(byAddress.status.succeeded()) << describe(byAddress);
    EXPECT_EQ(byAddress.out, TraceServerProcess::defaultBody());

    const auto byName = curl({"--resolve", "localhost:" + port + ":127.0.0.1",
                              "https://localhost:" + port + "/cdn-cgi/trace"});
    EXPECT_TRUE(byName.status.succeeded()) << describe(byName);
}

TEST_F(TraceServerTest, TheCertificateNamesTheTunnelEndpoints) {
    TraceServerProcess server;
    const std::string target = "127.0.0.1:" + std::to_string(server.tcpPort());

    for (const std::string host : {"162.159.198.1", "[2602:fc59:b0:64::a29f:c601]"}) {
        const auto result =
            curl({"--connect-to", host + ":443:" + target, "https://" + host + "/cdn-cgi/trace"});
        EXPECT_TRUE(result.status.succeeded()) << host << ": " << describe(result);
    }
}

TEST_F(TraceServerTest, CurlWithoutTheTestCaRejectsTheCertificate) {
    TraceServerProcess server;
    TempDir emptyHome;
    Subprocess::Options options;
    options.argv = {"/usr/bin/curl", "-sS", "--resolve", server.curlResolve(), server.traceUrl()};
    options.environment = std::vector<std::string>{"HOME=" + emptyHome.path().string()};
    const auto result = Subprocess::run(std::move(options), kCurlPatience);
    EXPECT_EQ(result.status.code, 60) << describe(result);  // peer certificate not trusted
}

TEST_F(TraceServerTest, ADelayLongerThanCurlsLimitTimesCurlOut) {
    TraceServerProcess server({.delayMs = 2000});
    const auto result = fetchTrace(server, {"-m", "1"});
    EXPECT_EQ(result.status.code, 28) << describe(result);  // operation timed out
}

TEST_F(TraceServerTest, ADelayHoldsTheAnswerBack) {
    TraceServerProcess server({.delayMs = 400});
    const auto start = Clock::now();
    const auto result = fetchTrace(server);
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_GE(Clock::now() - start, 400ms);
    EXPECT_EQ(result.out, TraceServerProcess::defaultBody());
}

TEST_F(TraceServerTest, RefusingClosesBeforeTheHandshake) {
    TraceServerProcess server({.refuse = true});
    const auto result = fetchTrace(server);
    // 35: TLS connect error; 56: failure receiving network data.
    EXPECT_THAT(result.status.code, AnyOf(35, 56)) << describe(result);
}

TEST_F(TraceServerTest, AnswersWithTheConfiguredStatus) {
    TraceServerProcess server({.status = 503});
    const auto result = fetchTrace(server, {"-o", "/dev/null", "-w", "%{http_code}"});
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_EQ(result.out, "503");
}

TEST_F(TraceServerTest, AnotherPathIsNotFound) {
    TraceServerProcess server;
    const auto result = curl({"--resolve", server.curlResolve(), "-o", "/dev/null", "-w",
                              "%{http_code}",
                              "https://www.cloudflare.com:" + std::to_string(server.tcpPort()) +
                                  "/cdn-cgi/other"});
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_EQ(result.out, "404");
}

TEST_F(TraceServerTest, AnOversizedRequestHeadIsRefusedWith431) {
    TraceServerProcess server;
    const auto result = fetchTrace(server, {"-H", "X-Padding: " + std::string(17 * 1024, 'a'), "-o",
                                            "/dev/null", "-w", "%{http_code}"});
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_EQ(result.out, "431");
}

TEST_F(TraceServerTest, AQueryStringStillReachesTheTrace) {
    TraceServerProcess server;
    const auto result = curl({"--resolve", server.curlResolve(), server.traceUrl() + "?probe=1"});
    ASSERT_TRUE(result.status.succeeded()) << describe(result);
    EXPECT_EQ(result.out, TraceServerProcess::defaultBody());
}

TEST_F(TraceServerTest, ServesConnectionsConcurrently) {
    // Eight clients against a 1 s delay: one after another would take 8 s.
    TraceServerProcess server({.delayMs = 1000});
    constexpr int kClients = 8;
    std::vector<Subprocess::RunResult> results(kClients);
    std::vector<std::thread> clients;

    const auto start = Clock::now();
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] { results[i] = fetchTrace(server); });
    }
    for (auto& client : clients) client.join();
    const auto elapsed = Clock::now() - start;

    for (const auto& result : results) {
        EXPECT_TRUE(result.status.succeeded()) << describe(result);
        EXPECT_EQ(result.out, TraceServerProcess::defaultBody());
    }
    EXPECT_LT(elapsed, 5s);
}

TEST_F(TraceServerTest, TheUdpResponderEchoesTheStartOfEachDatagram) {
    TraceServerProcess server({.udp = true});
    ASSERT_GT(server.udpPort(), 0);

    EXPECT_EQ(udpExchange(server.udpPort(), "nimbra-latency-probe-0123456789"), "nimbra-latency-p");
    EXPECT_EQ(udpExchange(server.udpPort(), "ping"), "ping");
}

TEST_F(TraceServerTest, TheUdpResponderHonoursTheDelay) {
    TraceServerProcess server({.delayMs = 300, .udp = true});
    const auto start = Clock::now();
    EXPECT_EQ(udpExchange(server.udpPort(), "probe"), "probe");
    EXPECT_GE(Clock::now() - start, 300ms);
}

TEST_F(TraceServerTest, WithoutUdpThereIsNoUdpPort) {
    TraceServerProcess server;
    EXPECT_EQ(server.udpPort(), 0);
}

TEST_F(TraceServerTest, LogsEachRequestAndStopsCleanlyOnSigterm) {
    TraceServerProcess server;
    ASSERT_TRUE(fetchTrace(server).status.succeeded());
    const pid_t pid = server.pid();

    const auto status = server.stop();
    EXPECT_EQ(status.code, 0);
    EXPECT_FALSE(status.signal.has_value());
    EXPECT_THAT(server.stderrText(), HasSubstr("GET /cdn-cgi/trace -> 200"));
    EXPECT_NE(::kill(pid, 0), 0);  // reaped, not a zombie
}

TEST_F(TraceServerTest, AStartFailureThrowsWithTheProgramsMessage) {
    TempDir dir;
    try {
        TraceServerProcess server({.bodyFile = dir / "missing.txt"});
        FAIL() << "the server started without its body file";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("missing.txt"));
    }
}

TEST_F(TraceServerTest, TheCurlHomeNamesTheTestCa) {
    std::ifstream rc(std::filesystem::path(home_) / ".curlrc");
    std::string content((std::istreambuf_iterator<char>(rc)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "cacert = \"" + TraceServerProcess::caFile() + "\"\n");
    EXPECT_TRUE(std::filesystem::exists(TraceServerProcess::caFile()));
}

}  // namespace
}  // namespace nimbra
