// The exit probes against real programs: real curl over real TLS to the trace-server stand-in,
// and libcurl in-process (the fetch through usque's SOCKS5 listener is the engine's health check,
// tested there). Every connection goes to the loopback; failures use closed loopback ports.

#include "diagnostics/exit_probe.hpp"

#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/subprocess.hpp"
#include "support/line_reader.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"  // freeLoopbackPort

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::freeLoopbackPort;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using nimbra::testing::TraceServerProcess;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace detail = ExitProbe::detail;

const std::string kEmptyIp = "empty exit ip from cdn-cgi/trace";
const std::string kTrace = "fl=1\nip=203.0.113.7\nloc=NL\ncolo=AMS\nwarp=on\ngateway=off\n";
const TraceProbe kTraceProbe = parseTrace(kTrace);

const auto why = [](const TraceProbe& probe) { return probe.error.value_or(""); };

// A clean slate for every test: HOME holding a .curlrc that trusts the test CA (the probes give
// curl our HOME), none of the overrides or proxy exceptions from the surrounding environment,
// and the address probe aimed at 127.0.0.2:443, where nothing listens.
class ExitProbeTest : public ::testing::Test {
protected:
    ExitProbeTest() {
        TraceServerProcess::writeCurlHome(home_.path());
        set("HOME", home_.path().string());
        for (const char* name :
             {"NIMBRA_TRACE_HOST", "NIMBRA_TRACE_CA_FILE", "no_proxy", "NO_PROXY"})
            set(name, std::nullopt);
        set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.2");
    }
    void set(const std::string& name, std::optional<std::string> value) {
        env_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
    }
    void traceHostAt(int port) { set("NIMBRA_TRACE_HOST", "localhost:" + std::to_string(port)); }

    TempDir home_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_F(ExitProbeTest, ACurlRunBecomesAProbeByItsStatusStdoutAndStderrOrIsKilledWhenLate) {
    set("NIMBRA_PROBE_LEAK", "leaked");
    set("https_proxy", "http://127.0.0.1:9");
    const TraceProbe noReason = TraceProbe::failed("curl socks5h probe failed (7)");
    const std::pair<std::string, TraceProbe> cases[] = {
        // Without a message of its own (none, blank, not UTF-8): the probe's text and status.
        {"exit 7", noReason},
        {"printf ' \\n\\r\\n\\t' >&2; exit 7", noReason},
        {"printf 'curl: \\377\\376' >&2; exit 7", noReason},
        // The stdout of a failed run is not read as a trace.
        {"echo 'ip=1.2.3.4'; printf '  curl: (6) no such host \\n' >&2; exit 6",
         TraceProbe::failed("curl: (6) no such host")},
        {"printf '" + kTrace + "'; echo 'ip=6.6.6.6' >&2", kTraceProbe},
        {"printf 'ip=1.2.3.4\\nloc=\\377\\n'", TraceProbe::failed(kEmptyIp)},
        // curl sees PATH and HOME, nothing else of ours.
        {R"(printf 'ip=%s\nloc=%s\ncolo=%s\nwarp=%s\n' "$HOME" "$PATH" "${NIMBRA_PROBE_LEAK-none}" "${https_proxy-none}")",
         parseTrace("ip=" + home_.path().string() +
                    "\nloc=/usr/bin:/bin:/usr/sbin:/sbin\ncolo=none\nwarp=none\n")},
    };
    for (const auto& [script, expected] : cases)
        EXPECT_EQ(detail::runCurl({"/bin/sh", "-c", script}, detail::kSocksFailure), expected)
            << script;
    const auto unlaunched = detail::runCurl({(home_ / "no-such-curl").string()}, "unused");
    EXPECT_FALSE(unlaunched.fetched);
    EXPECT_THAT(why(unlaunched), HasSubstr("no-such-curl")) << "the launch error";

    // A run past the safety time-out is killed (128 + SIGKILL); what it wrote is no reason. Were
    // it waited for instead, the test would outlast its own time limit.
    EXPECT_EQ(detail::runCurl({"/bin/sh", "-c", "echo 'still going' >&2; exec sleep 3600"},
                              detail::kDirectIpFailure, 300ms),
              TraceProbe::failed("curl ipv4 probe failed (137)"));
}

TEST_F(ExitProbeTest, TheDirectStepsIgnoreEveryConfiguredProxyAndTheHttpStatus) {
    TraceServerProcess server({.body = kTrace, .status = 503});
    traceHostAt(server.tcpPort());
    set("NIMBRA_TRACE_CA_FILE", TraceServerProcess::caFile());
    // Proxies that would break the fetch, were they used: in curl's own configuration and in
    // every variable libcurl reads.
    const std::string deadProxy = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    std::ofstream(home_ / ".curlrc", std::ios::app)
        << "proxy = \"socks5h://" << deadProxy << "\"\n";
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY"})
        set(name, "http://" + deadProxy);

    EXPECT_EQ(ExitProbe::fetchViaCurlDirect(), kTraceProbe);
    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt), kTraceProbe);
    EXPECT_EQ(ExitProbe::fetchViaLibcurl("curl: (7) earlier"), kTraceProbe);
}

// The direct chain: curl by name, then curl by address, then libcurl; the first fetched trace
// wins as it is, and when none is fetched the first step's error is the one reported.
TEST_F(ExitProbeTest, LibcurlTrustsTheConfiguredCaAloneAndTheChainStopsAtTheFirstFetch) {
    TraceServerProcess server({.body = kTrace});
    traceHostAt(server.tcpPort());
    // The test CA is in no system store: without the hook libcurl's handshake fails, so the
    // chain's trace is curl's by name, which trusts the CA through HOME's .curlrc.
    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt),
              TraceProbe::failed(curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION)));
    EXPECT_EQ(ExitProbe::fetchDirect(), kTraceProbe);
    // Now curl does not trust the server, libcurl does: only the last step fetches.
    TempDir bareHome;
    set("HOME", bareHome.path().string());
    set("NIMBRA_TRACE_CA_FILE", TraceServerProcess::caFile());
    ASSERT_THAT(why(ExitProbe::fetchViaCurlDirect()), StartsWith("curl: (60)"));
    EXPECT_EQ(ExitProbe::fetchDirect(), kTraceProbe);

    TraceServerProcess notUtf8({.body = "ip=203.0.113.7\ncolo=\xc3\x28\n"});
    traceHostAt(notUtf8.tcpPort());
    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt), TraceProbe::failed(kEmptyIp));
}

Subprocess::Options traceServerOn443(const std::string& body) {
    Subprocess::Options options;
    options.argv = {
        TraceServerProcess::programPath(), "--exit-with-parent", "--port", "443", "--body", body};
    return options;
}

// The trace server on 127.0.0.1:443, where the direct IP probe looks (binding it needs root).
struct PrivilegedTraceServer {
    explicit PrivilegedTraceServer(const std::string& body)
        : process(Subprocess::start(traceServerOn443(body))),
          out(process.releaseStdout()),
          listening(out.waitFor("listening tcp=443", 60s)) {
        if (!listening) process.wait(60s);  // then its stderr says why
    }
    Subprocess process;  // killed and reaped on destruction
    nimbra::testing::LineReader out;
    bool listening;
};

TEST_F(ExitProbeTest, EachStepSaysWhyItFailedAndTheChainReportsTheFirst) {
    const int closed = freeLoopbackPort();
    traceHostAt(closed);
    // curl's message carries its timing, so the first step is known by its port.
    const auto refusedByName =
        AllOf(StartsWith("curl: (7)"), HasSubstr("port " + std::to_string(closed)));
    EXPECT_THAT(why(ExitProbe::fetchViaCurlDirect()), refusedByName);
    EXPECT_THAT(why(ExitProbe::fetchViaCurlDirectIP()),
                AllOf(StartsWith("curl: (7)"), HasSubstr("127.0.0.2")));
    EXPECT_THAT(why(ExitProbe::fetchViaCurlSocks(closed)), StartsWith("curl: (7)"));
    EXPECT_EQ(ExitProbe::fetchViaLibcurl(std::nullopt),
              TraceProbe::failed(curl_easy_strerror(CURLE_COULDNT_CONNECT)));
    EXPECT_EQ(ExitProbe::fetchViaLibcurl("curl: (7) earlier"),
              TraceProbe::failed("curl: (7) earlier"));
    EXPECT_THAT(why(ExitProbe::fetchDirect()), refusedByName);

    set("NIMBRA_TRACE_HOST", "not a host");
    EXPECT_EQ(ExitProbe::fetchViaLibcurl("curl: (3) earlier"), TraceProbe::failed("bad trace URL"));
    EXPECT_EQ(ExitProbe::fetchViaLibcurl("https://localhost:99999/cdn-cgi/trace", std::nullopt),
              TraceProbe::failed("bad trace URL"));
}

TEST_F(ExitProbeTest, TheChainTakesTheAddressProbeWhenItFetchesAndMovesOnWhenItHasNoIp) {
    traceHostAt(freeLoopbackPort());
    set("NIMBRA_ANYCAST_RESOLVER", "127.0.0.1");
    {
        // warp=off: fetched but not ok -- a fetched trace ends the chain all the same.
        const std::string warpOff = "ip=198.51.100.4\nloc=JP\ncolo=NRT\nwarp=off\n";
        PrivilegedTraceServer server(warpOff);
        ASSERT_TRUE(server.listening) << server.process.takeStderr();
        EXPECT_EQ(ExitProbe::fetchViaCurlDirectIP(), parseTrace(warpOff));
        EXPECT_EQ(ExitProbe::fetchDirect(), parseTrace(warpOff));
    }
    PrivilegedTraceServer server("loc=JP\nwarp=on\n");
    ASSERT_TRUE(server.listening) << server.process.takeStderr();
    ASSERT_EQ(ExitProbe::fetchViaCurlDirectIP(), TraceProbe::failed(kEmptyIp));
    // On to libcurl, which fails to connect by name too, and the first step's error wins.
    EXPECT_THAT(why(ExitProbe::fetchDirect()), StartsWith("curl: (7)"));
}

}  // namespace
}  // namespace nimbra
