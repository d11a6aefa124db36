// The exit probes against real programs: real curl over real TLS to a local trace server, through
// the usque stand-in's SOCKS5 server or straight, and libcurl in-process. Every connection goes to
// the loopback; failures use closed loopback ports, so nothing waits for a time-out.

#include "diagnostics/exit_probe.hpp"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "diagnostics/trace_parser.hpp"
#include "diagnostics/url_loader_fallback.hpp"
#include "support/line_reader.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::freeLoopbackPort;
using nimbra::testing::LineReader;
using nimbra::testing::PriorUsque;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using nimbra::testing::TraceServerProcess;
using nimbra::testing::UsqueTestHome;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace detail = ExitProbe::detail;

const std::string kEmptyIp = "empty exit ip from cdn-cgi/trace";
const std::string kTrace = "fl=1\nip=203.0.113.7\nloc=NL\ncolo=AMS\nwarp=on\ngateway=off\n";

TraceProbe expectedProbe() {
    TraceProbe probe;
    probe.fetched = true;
    probe.ip = "203.0.113.7";
    probe.loc = "NL";
    probe.colo = "AMS";
    probe.warp = "on";
    return probe;
}

// A clean slate for every test: HOME holding a .curlrc that trusts the test CA (the probes give
// curl our HOME), and none of the deployment overrides from the surrounding environment.
class ExitProbeTest : public ::testing::Test {
protected:
    void set(const std::string& name, std::optional<std::string> value) {
        env_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
    }

    // Points the trace URL at https://localhost:<port>.
    void traceHostAt(int port) { set("NIMBRA_TRACE_HOST", "localhost:" + std::to_string(port)); }

    TempDir home_;
    std::vector<std::unique_ptr<ScopedEnv>> env_ = [this] {
        std::vector<std::unique_ptr<ScopedEnv>> env;
        TraceServerProcess::writeCurlHome(home_.path());
        env.push_back(std::make_unique<ScopedEnv>("HOME", home_.path().string()));
        for (const char* name :
             {"NIMBRA_TRACE_HOST", "NIMBRA_ANYCAST_RESOLVER", "NIMBRA_TRACE_CA_FILE"}) {
            env.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
        }
        return env;
    }();
};

// --- The command lines -------------------------------------------------------------------------

TEST_F(ExitProbeTest, TheTraceUrlIsOnTheTraceHost) {
    EXPECT_EQ(ExitProbe::traceUrl(), "https://www.cloudflare.com/cdn-cgi/trace");
    set("NIMBRA_TRACE_HOST", "trace.example:8443");
    EXPECT_EQ(ExitProbe::traceUrl(), "https://trace.example:8443/cdn-cgi/trace");
}

TEST_F(ExitProbeTest, EachProbeRunsCurlWithExactlyItsArguments) {
    using Argv = std::vector<std::string>;
    EXPECT_EQ(detail::socksCommand(40123),
              (Argv{"/usr/bin/curl", "-sS", "-m", "12", "--connect-timeout", "8", "-x",
                    "socks5h://127.0.0.1:40123", "https://www.cloudflare.com/cdn-cgi/trace"}));
    EXPECT_EQ(detail::directCommand(),
              (Argv{"/usr/bin/curl", "-sS", "-4", "-m", "12", "--connect-timeout", "8", "--noproxy",
                    "*", "https://www.cloudflare.com/cdn-cgi/trace"}));
    EXPECT_EQ(detail::directIpCommand(),
              (Argv{"/usr/bin/curl", "-sS", "-4", "-m", "12", "--connect-timeout", "8", "--noproxy",
                    "*", "--resolve", "1.1.1.1:443:1.1.1.1", "https://1.1.1.1/cdn-cgi/trace"}));

    set("NIMBRA_TRACE_HOST", "localhost:9443");
    set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.9");
    EXPECT_EQ(detail::socksCommand(1080).back(), "https://localhost:9443/cdn-cgi/trace");
    EXPECT_EQ(detail::directCommand().back(), "https://localhost:9443/cdn-cgi/trace");
    const auto byAddress = detail::directIpCommand();
    EXPECT_EQ(byAddress[byAddress.size() - 2], "127.0.0.9:443:127.0.0.9");
    EXPECT_EQ(byAddress.back(), "https://127.0.0.9/cdn-cgi/trace");
}

// --- How a curl run becomes a probe ------------------------------------------------------------

TEST(CurlFailureText, CurlsOwnMessageWinsTrimmed) {
    EXPECT_EQ(detail::curlFailure(detail::kSocksFailure, 7,
                                  "curl: (7) Failed to connect to 127.0.0.1 port 1 after 0 ms\n"),
              "curl: (7) Failed to connect to 127.0.0.1 port 1 after 0 ms");
    EXPECT_EQ(detail::curlFailure(detail::kDirectFailure, 6, " \t\r\nboom \r\n"), "boom");
}

TEST(CurlFailureText, WithoutAMessageTheProbesTextAndTheStatus) {
    EXPECT_EQ(detail::curlFailure(detail::kSocksFailure, 7, ""), "curl socks5h probe failed (7)");
    EXPECT_EQ(detail::curlFailure(detail::kDirectFailure, 28, " \n\r\n\t"),
              "curl direct probe failed (28)");
    EXPECT_EQ(detail::curlFailure(detail::kDirectIpFailure, 35, ""), "curl ipv4 probe failed (35)");
    // A message that is not UTF-8 cannot be shown and counts as none.
    EXPECT_EQ(detail::curlFailure(detail::kDirectFailure, 56, "curl: \xff\xfe"),
              "curl direct probe failed (56)");
}

TEST_F(ExitProbeTest, ASilentNonZeroExitGivesTheFailureTextAndStatus) {
    const auto probe = detail::runCurl({"/bin/sh", "-c", "exit 7"}, detail::kSocksFailure);
    EXPECT_EQ(probe, TraceProbe::failed("curl socks5h probe failed (7)"));
}

TEST_F(ExitProbeTest, ANonZeroExitWithAMessageGivesTheMessage) {
    const auto probe = detail::runCurl(
        {"/bin/sh", "-c", "echo 'ip=1.2.3.4'; printf '  curl: (6) no such host \\n' >&2; exit 6"},
        detail::kDirectFailure);
    // stdout of a failed run is not read as a trace.
    EXPECT_EQ(probe, TraceProbe::failed("curl: (6) no such host"));
}

TEST_F(ExitProbeTest, ASuccessfulRunIsParsedFromStdoutAlone) {
    const auto probe =
        detail::runCurl({"/bin/sh", "-c", "printf '" + kTrace + "'; echo 'ip=6.6.6.6' >&2"},
                        detail::kDirectFailure);
    EXPECT_EQ(probe, expectedProbe());
}

TEST_F(ExitProbeTest, OutputThatIsNotUtf8CountsAsEmpty) {
    const auto probe = detail::runCurl({"/bin/sh", "-c", "printf 'ip=1.2.3.4\\nloc=\\377\\n'"},
                                       detail::kDirectFailure);
    EXPECT_EQ(probe, TraceProbe::failed(kEmptyIp));
}

TEST_F(ExitProbeTest, CurlSeesOnlyPathAndHome) {
    ScopedEnv leak("NIMBRA_PROBE_LEAK", "leaked");
    ScopedEnv proxy("https_proxy", "http://127.0.0.1:9");
    const auto probe = detail::runCurl(
        {"/bin/sh", "-c",
         R"(printf 'ip=%s\nloc=%s\ncolo=%s\nwarp=%s\n' "$HOME" "$PATH" "${NIMBRA_PROBE_LEAK-none}" "${https_proxy-none}")"},
        detail::kDirectFailure);
    ASSERT_TRUE(probe.fetched) << probe.error.value_or("");
    EXPECT_EQ(probe.ip, home_.path().string());
    EXPECT_EQ(probe.loc, "/usr/bin:/bin:/usr/sbin:/sbin");
    EXPECT_EQ(probe.colo, "none");
    EXPECT_EQ(probe.warp, "none");
}

TEST_F(ExitProbeTest, ALaunchFailureGivesTheLaunchError) {
    const std::vector<std::string> argv = {(home_ / "no-such-curl").string(), "-sS"};
    std::string launchError;
    try {
        Subprocess::Options options;
        options.argv = argv;
        Subprocess::run(std::move(options), 1s);
    } catch (const SubprocessError& error) {
        launchError = error.what();
    }
    ASSERT_THAT(launchError, HasSubstr("no-such-curl"));

    EXPECT_EQ(detail::runCurl(argv, detail::kSocksFailure), TraceProbe::failed(launchError));
}

TEST_F(ExitProbeTest, ARunPastTheSafetyTimeOutIsKilledAndReportedByItsStatus) {
    const auto start = std::chrono::steady_clock::now();
    const auto probe = detail::runCurl({"/bin/sh", "-c", "echo 'still going' >&2; exec sleep 10"},
                                       detail::kDirectIpFailure, 300ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // Killed with SIGKILL: 128 + 9. What it wrote before is no reason for the failure.
    EXPECT_EQ(probe, TraceProbe::failed("curl ipv4 probe failed (137)"));
}

// --- Through the tunnel's SOCKS5 listener ------------------------------------------------------

TEST_F(ExitProbeTest, TheSocksProbeFetchesTheTraceThroughTheProxy) {
    TraceServerProcess server({.body = kTrace});
    UsqueTestHome home;
    home.writeRegistration();
    // Only the proxy knows where www.cloudflare.com is: the name never resolves on this side.
    home.routeTraceHostTo(server.tcpPort());
    PriorUsque usque(home, false);

    EXPECT_EQ(ExitProbe::fetchViaCurlSocks(home.port()), expectedProbe());
    EXPECT_THAT(server.stderrText(), HasSubstr("GET /cdn-cgi/trace -> 200"));
}

TEST_F(ExitProbeTest, TheSocksProbeReportsATraceWithoutAnIp) {
    TraceServerProcess server({.body = "loc=NL\nwarp=on\n"});
    UsqueTestHome home;
    home.writeRegistration();
    home.routeTraceHostTo(server.tcpPort());
    PriorUsque usque(home, false);

    EXPECT_EQ(ExitProbe::fetchViaCurlSocks(home.port()), TraceProbe::failed(kEmptyIp));
}

TEST_F(ExitProbeTest, TheSocksProbeToAClosedPortFailsWithCurlsMessage) {
    const auto probe = ExitProbe::fetchViaCurlSocks(freeLoopbackPort());
    EXPECT_FALSE(probe.fetched);
    EXPECT_EQ(probe.ip, "");
    ASSERT_TRUE(probe.error.has_value());
    EXPECT_THAT(*probe.error, StartsWith("curl: (7)"));
    EXPECT_EQ(*probe.error, std::string(text::trim(*probe.error)));
}

// --- Straight from this machine ----------------------------------------------------------------

TEST_F(ExitProbeTest, TheDirectProbeFetchesByHostNameIgnoringConfiguredProxies) {
    TraceServerProcess server({.body = kTrace});
    traceHostAt(server.tcpPort());
    // A proxy in curl's own configuration would break the fetch, were it used.
    std::ofstream(home_ / ".curlrc", std::ios::app)
        << "proxy = \"socks5h://127.0.0.1:" << freeLoopbackPort() << "\"\n";

    EXPECT_EQ(ExitProbe::fetchViaCurlDirect(), expectedProbe());
}

TEST_F(ExitProbeTest, TheDirectProbeReadsABodyThatIsNotUtf8AsEmpty) {
    TraceServerProcess server({.body = "ip=203.0.113.7\nloc=\xff\n"});
    traceHostAt(server.tcpPort());
    EXPECT_EQ(ExitProbe::fetchViaCurlDirect(), TraceProbe::failed(kEmptyIp));
}

TEST_F(ExitProbeTest, TheDirectProbesFailWithCurlsMessage) {
    traceHostAt(freeLoopbackPort());
    set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.2");  // nothing listens on 127.0.0.2:443

    const auto byName = ExitProbe::fetchViaCurlDirect();
    ASSERT_TRUE(byName.error.has_value());
    EXPECT_THAT(*byName.error, StartsWith("curl: (7)"));
    EXPECT_FALSE(byName.fetched);

    const auto byAddress = ExitProbe::fetchViaCurlDirectIP();
    ASSERT_TRUE(byAddress.error.has_value());
    EXPECT_THAT(*byAddress.error, StartsWith("curl: (7)"));
    EXPECT_THAT(*byAddress.error, HasSubstr("127.0.0.2"));
}

// A trace server on 127.0.0.1:443, where the direct IP probe looks. Binding a port below 1024
// needs root (or CAP_NET_BIND_SERVICE); without it the test is skipped. Another test of this
// program may hold the port for a moment (CTest runs two at once), so a busy port is retried.
class PrivilegedTraceServer {
public:
    explicit PrivilegedTraceServer(const std::string& body) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            Subprocess::Options options;
            options.argv = {TraceServerProcess::programPath(),
                            "--port",
                            "443",
                            "--body",
                            body,
                            "--exit-with-parent"};
            process_.emplace(Subprocess::start(std::move(options)));
            stdout_ = std::make_unique<LineReader>(process_->releaseStdout());
            if (stdout_->waitFor("listening tcp=443", 5s)) return;

            process_->wait(2s);
            whyNot_ = process_->takeStderr();
            stdout_.reset();
            process_.reset();
            if (whyNot_.find("in use") == std::string::npos ||
                std::chrono::steady_clock::now() > deadline) {
                return;
            }
            std::this_thread::sleep_for(100ms);
        }
    }

    bool listening() const { return process_.has_value(); }
    const std::string& whyNot() const { return whyNot_; }

private:
    std::optional<Subprocess> process_;  // killed and reaped on destruction
    std::unique_ptr<LineReader> stdout_;
    std::string whyNot_;
};

// --- The direct chain --------------------------------------------------------------------------

TEST_F(ExitProbeTest, TheChainReturnsTheDirectProbeWhenItFetches) {
    TraceServerProcess server({.body = kTrace});
    traceHostAt(server.tcpPort());
    set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.2");

    EXPECT_EQ(ExitProbe::fetchDirect(), expectedProbe());
}

TEST_F(ExitProbeTest, TheChainReturnsTheIpProbeUnchangedWhenOnlyItFetches) {
    // warp=off: fetched but not ok -- the chain stops at a fetched trace all the same.
    PrivilegedTraceServer server("ip=198.51.100.4\nloc=JP\ncolo=NRT\nwarp=off\n");
    if (!server.listening()) GTEST_SKIP() << "cannot serve on 127.0.0.1:443: " << server.whyNot();
    traceHostAt(freeLoopbackPort());
    set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.1");

    const auto byAddress = ExitProbe::fetchViaCurlDirectIP();
    ASSERT_TRUE(byAddress.fetched) << byAddress.error.value_or("");
    EXPECT_EQ(byAddress.ip, "198.51.100.4");
    EXPECT_FALSE(byAddress.ok());

    EXPECT_EQ(ExitProbe::fetchDirect(), byAddress);
}

TEST_F(ExitProbeTest, TheChainMovesOnFromAnIpProbeWithoutAnIp) {
    PrivilegedTraceServer server("loc=JP\nwarp=on\n");
    if (!server.listening()) GTEST_SKIP() << "cannot serve on 127.0.0.1:443: " << server.whyNot();
    traceHostAt(freeLoopbackPort());
    set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.1");

    ASSERT_EQ(ExitProbe::fetchViaCurlDirectIP(), TraceProbe::failed(kEmptyIp));
    // The last step fails to connect too, and reports the first step's error.
    const auto probe = ExitProbe::fetchDirect();
    ASSERT_TRUE(probe.error.has_value());
    EXPECT_THAT(*probe.error, StartsWith("curl: (7)"));
}

TEST_F(ExitProbeTest, WhenEveryStepFailsTheChainReportsTheFirstStepsError) {
    const int closed = freeLoopbackPort();
    traceHostAt(closed);
    set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.2");

    const auto probe = ExitProbe::fetchDirect();
    EXPECT_EQ(probe, ExitProbe::fetchViaCurlDirect());
    ASSERT_TRUE(probe.error.has_value());
    EXPECT_THAT(*probe.error, HasSubstr("port " + std::to_string(closed)));
}

// --- The libcurl fallback ----------------------------------------------------------------------

TEST_F(ExitProbeTest, TheFallbackFetchesWithEveryProxyDisabled) {
    TraceServerProcess server({.body = kTrace});
    traceHostAt(server.tcpPort());
    set("NIMBRA_TRACE_CA_FILE", TraceServerProcess::caFile());
    const std::string deadProxy = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
    for (const char* name :
         {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY"}) {
        set(name, deadProxy);
    }
    set("no_proxy", std::nullopt);
    set("NO_PROXY", std::nullopt);

    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt), expectedProbe());
    EXPECT_EQ(ExitProbe::fetchViaLibcurl("curl: (7) earlier"), expectedProbe());
}

TEST_F(ExitProbeTest, TheFallbackParsesTheBodyWhateverTheStatus) {
    TraceServerProcess server({.body = kTrace, .status = 503});
    set("NIMBRA_TRACE_CA_FILE", TraceServerProcess::caFile());
    const std::string url =
        "https://localhost:" + std::to_string(server.tcpPort()) + "/cdn-cgi/trace";

    EXPECT_EQ(ExitProbe::fetchViaLibcurl(url, std::nullopt), expectedProbe());
}

TEST_F(ExitProbeTest, TheFallbackReadsABodyThatIsNotUtf8AsEmpty) {
    TraceServerProcess server({.body = "ip=203.0.113.7\ncolo=\xc3\x28\n"});
    traceHostAt(server.tcpPort());
    set("NIMBRA_TRACE_CA_FILE", TraceServerProcess::caFile());

    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt), TraceProbe::failed(kEmptyIp));
}

TEST_F(ExitProbeTest, AFallbackTransportErrorPrefersTheFirstStepsError) {
    traceHostAt(freeLoopbackPort());

    EXPECT_EQ(ExitProbe::fetchViaLibcurl("curl: (7) earlier"),
              TraceProbe::failed("curl: (7) earlier"));
    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt),
              TraceProbe::failed(curl_easy_strerror(CURLE_COULDNT_CONNECT)));
}

TEST_F(ExitProbeTest, TheFallbackTrustsOnlyTheSystemStoreUnlessTold) {
    TraceServerProcess server({.body = kTrace});
    traceHostAt(server.tcpPort());

    // The test CA is in no system store, so the handshake fails.
    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt),
              TraceProbe::failed(curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION)));
}

TEST_F(ExitProbeTest, AnUnusableTraceUrlIsReportedAsSuch) {
    set("NIMBRA_TRACE_HOST", "not a host");
    EXPECT_EQ(ExitProbe::fetchViaLibcurl("curl: (3) earlier"), TraceProbe::failed("bad trace URL"));
    EXPECT_EQ(ExitProbe::fetchViaLibcurl("https://localhost:99999/cdn-cgi/trace", std::nullopt),
              TraceProbe::failed("bad trace URL"));
}

}  // namespace
}  // namespace nimbra
