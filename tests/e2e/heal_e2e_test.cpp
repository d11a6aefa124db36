// Self-healing as `nimbra-cli connect` shows it: the usque it launched is killed outright, and the
// exit stops reporting WARP for a while. The runs use a tenth of the product's timings, so the
// health monitor takes a turn every few seconds; every wait is for a line, never for the clock.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "cli_run.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"
#include "system/process_table.hpp"

namespace nimbra {
namespace {

using namespace e2e;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::TraceServerProcess;

// Checks after 1.5 s and then every 3 s, while usque's readiness wait (4.5 s), the connect race
// (9 s) and the stop grace (0.3 s) stay comfortable on a loaded two-core machine.
constexpr const char* kTimingScale = "0.1";

constexpr const char* kConnected = "[Connected] Connected · US/SJC · WARP on";
constexpr const char* kHealing = "[Reconnecting] Tunnel unhealthy — self-healing…";
constexpr const char* kHealIncomplete = "[Reconnecting] Heal incomplete — will retry: ";

// The trace-server stand-in on a port the test chooses. usque's route to the trace host is fixed
// when nimbra-cli starts, so a different exit means a new server on the same port.
Subprocess serveTrace(int port, bool warpOn) {
    std::string body(TraceServerProcess::defaultBody());
    if (!warpOn) body.replace(body.find("warp=on"), 7, "warp=off");
    Subprocess::Options options;
    options.argv = {TraceServerProcess::programPath(),
                    "--exit-with-parent",
                    "--body",
                    body,
                    "--port",
                    std::to_string(port)};
    Subprocess server = Subprocess::start(std::move(options));
    if (!testing::LineReader(server.releaseStdout()).waitFor("listening tcp=", kWait)) {
        throw std::runtime_error("trace-server did not listen on " + std::to_string(port) + ": " +
                                 server.takeStderr());
    }
    return server;
}

// SIGKILL to the usque serving `port` -- the one nimbra-cli launched -- once its command line
// shows it is usque. Returns its pid, or -1 when no such process listens there.
pid_t killUsque(int port) {
    const auto pids = ProcessTable::system().listenerPids(port);
    if (pids.size() != 1) return -1;
    const std::string args = ProcessTable::system().processArgs(pids.front());
    if (args.find("usque socks") == std::string::npos) return -1;
    return ::kill(pids.front(), SIGKILL) == 0 ? pids.front() : -1;
}

class HealE2e : public ::testing::Test {
protected:
    HealE2e() {
        home_.writeRegistration();
        do tracePort_ = testing::freeLoopbackPort();
        while (tracePort_ == home_.port());
        serve(/*warpOn=*/true);
        home_.routeTraceHostTo(tracePort_);
        home_.knob("NIMBRA_TEST_TIMING_SCALE", kTimingScale);
    }

    void serve(bool warpOn) {
        trace_.reset();  // ended and reaped, so the port is free again
        trace_.emplace(serveTrace(tracePort_, warpOn));
    }

    std::string curlThroughTunnel() const {
        return curl(kTraceUrl, "socks5h://127.0.0.1:" + std::to_string(home_.port()));
    }

    testing::UsqueTestHome home_;
    int tracePort_ = 0;
    std::optional<Subprocess> trace_;
};

// One session, each part starting from the connection the one before healed.
TEST_F(HealE2e, AKilledUsqueIsStartedAgainAndWhileTheExitIsOffHealsFailUntilWarpIsBack) {
    CliRun cli({"connect", "--mode", "socks"});
    ASSERT_TRUE(cli.waitFor("Exit:")) << cli.transcript();
    const pid_t killed = killUsque(home_.port());
    ASSERT_GT(killed, 0) << "no usque listening on " << home_.port();

    ASSERT_TRUE(cli.waitFor(kHealing)) << cli.transcript();
    ASSERT_TRUE(cli.waitFor(kConnected)) << cli.transcript();
    EXPECT_TRUE(
        inOrder(cli.lines(), {kConnected, "Exit:", "[Connected] Exit probe failed — retrying (1/2)",
                              kHealing, kConnected}))
        << cli.transcript();
    EXPECT_THAT(ProcessTable::system().listenerPids(home_.port()), Not(Contains(killed)));
    EXPECT_THAT(curlThroughTunnel(), HasSubstr("warp=on"));

    serve(/*warpOn=*/false);
    ASSERT_GT(killUsque(home_.port()), 0) << "no usque listening on " << home_.port();
    ASSERT_TRUE(cli.waitFor(kHealIncomplete)) << cli.transcript();
    EXPECT_THAT(cli.lines().back(), HasSubstr("WARP exit probe failed"));
    const std::size_t firstHeal = cli.lines().size() - 1;
    // Another turn with the exit still off: a second heal, which fails the same way.
    ASSERT_TRUE(cli.waitFor(kHealing)) << cli.transcript();
    ASSERT_TRUE(cli.waitFor(kHealIncomplete)) << cli.transcript();
    for (std::size_t i = firstHeal; i < cli.lines().size(); ++i) {
        EXPECT_THAT(cli.lines()[i], Not(HasSubstr("[Connected]"))) << cli.transcript();
    }

    serve(/*warpOn=*/true);
    ASSERT_TRUE(cli.waitFor("[Connected]")) << cli.transcript();
    EXPECT_THAT(cli.lines().back(),
                AnyOf(HasSubstr("[Connected] Tunnel recovered"), HasSubstr(kConnected)));
    EXPECT_THAT(curlThroughTunnel(), HasSubstr("warp=on"));

    cli.signal(SIGTERM);
    EXPECT_TRUE(cli.waitFor("[Disconnected] Disconnected")) << cli.transcript();
    EXPECT_EQ(cli.finish(), 0) << cli.transcript();
    EXPECT_FALSE(listening(home_.port()));
}

}  // namespace
}  // namespace nimbra
