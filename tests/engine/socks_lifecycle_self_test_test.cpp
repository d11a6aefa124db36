// The lifecycle self-test as users run it: nimbra-cli --verify-socks-lifecycle against the usque
// stand-in, with its exact report lines and exit codes.

#include <gtest/gtest.h>
#include <signal.h>

#include "base/subprocess.hpp"
#include "engine/process_table.hpp"
#include "support/line_reader.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;

struct SelfTestRun {
    int exitCode;
    std::string report;  // stderr
};

SelfTestRun runSelfTest() {
    auto result = Subprocess::run({.argv = {NIMBRA_CLI, "--verify-socks-lifecycle"},
                                   .environment = std::nullopt,
                                   .workingDirectory = std::nullopt,
                                   .output = Subprocess::Output::separate},
                                  30s);
    return {result.status.code, result.err};
}

bool reportHas(const SelfTestRun& run, const std::string& line) {
    return run.report.find(line + "\n") != std::string::npos;
}

class SelfTest : public ::testing::Test {
protected:
    void SetUp() override { home_.writeRegistration(); }
    std::string port() const { return std::to_string(home_.port()); }

    testing::UsqueTestHome home_;
};

TEST_F(SelfTest, StartsAManagedUsqueAndLeavesThePortFree) {
    const auto run = runSelfTest();
    EXPECT_EQ(run.exitCode, 0) << run.report;
    EXPECT_TRUE(reportHas(run, "[self-test] listeners before: (none)")) << run.report;
    EXPECT_TRUE(reportHas(run, "[self-test] started managed usque (no prior listener)"));
    EXPECT_NE(run.report.find("[self-test] after start/adopt: usque "), std::string::npos);
    EXPECT_NE(run.report.find(":" + port() + " isRunning=true\n"), std::string::npos);
    EXPECT_TRUE(reportHas(run, "[self-test] after stop: (none)"));
    EXPECT_TRUE(run.report.ends_with("[self-test] OK\n")) << run.report;
}

TEST_F(SelfTest, ReusesAHealthyUsqueAlreadyOnThePortAndStillEndsWithItStopped) {
    testing::TraceServerProcess trace;
    home_.routeTraceHostTo(trace.tcpPort());
    testing::PriorUsque prior(home_, /*http2=*/false);

    const auto run = runSelfTest();
    EXPECT_EQ(run.exitCode, 0) << run.report;
    EXPECT_NE(run.report.find("[usque] adopted healthy listener pid=" +
                              std::to_string(prior.pid()) + " on :" + port()),
              std::string::npos)
        << run.report;
    EXPECT_TRUE(reportHas(run, "[self-test] adopted/reused prior usque (no second bind)"));
    EXPECT_TRUE(prior.exited());
}

TEST_F(SelfTest, APortHeldByAnotherProgramFailsWithCodeOne) {
    auto holder = Subprocess::start({.argv = {testing::TraceServerProcess::programPath(), "--port",
                                              port(), "--exit-with-parent"},
                                     .environment = std::nullopt,
                                     .workingDirectory = std::nullopt,
                                     .output = Subprocess::Output::separate});
    testing::LineReader holderOut(holder.releaseStdout());
    ASSERT_TRUE(holderOut.waitFor("listening", 5s));

    const auto run = runSelfTest();
    EXPECT_EQ(run.exitCode, 1) << run.report;
    EXPECT_TRUE(reportHas(run, "[self-test] FAIL: 端口 " + port() + " 已被占用")) << run.report;
    EXPECT_TRUE(holder.running());  // not ours to stop
    holder.signal(SIGTERM);
    holder.wait(3s);
}

TEST_F(SelfTest, APortStillHeldAfterStopFailsWithCodeThree) {
    home_.knob("USQUE_STANDIN_LEAK_LISTENER", "1");
    const auto run = runSelfTest();
    EXPECT_EQ(run.exitCode, 3) << run.report;
    EXPECT_NE(run.report.find("[self-test] after stop: sleep "), std::string::npos) << run.report;
    EXPECT_TRUE(
        run.report.ends_with("[self-test] FAIL: port still held after Disconnect policy\n"));
    for (pid_t leftover : ProcessTable::system().listenerPids(home_.port()))
        ::kill(leftover, SIGKILL);
}

}  // namespace
}  // namespace nimbra
