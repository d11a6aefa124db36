// The engine against the real usque stand-in, on a private home and a free loopback port: start,
// readiness, adoption, the port policy, output hints, registration, and stopping.

#include "engine/usque_engine.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "engine/process_control.hpp"
#include "engine/process_table.hpp"
#include "engine/tunnel_probes.hpp"
#include "engine/usque_error.hpp"
#include "support/line_reader.hpp"
#include "support/scoped_env.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::PriorUsque;
using testing::UsqueTestHome;

Timings quickTimings() {
    Timings timings;
    timings.masqueReadiness = 3s;
    timings.portFreeBeforeStart = 300ms;
    timings.portFreeWait = 500ms;
    timings.childStopGrace = 1s;
    timings.pidPoll = 20ms;
    return timings;
}

// Runs `start` and returns the engine error it throws (fails the test if it throws nothing).
UsqueError::Case failureOf(const std::function<void()>& start) {
    try {
        start();
    } catch (const UsqueError& error) {
        return error.reason();
    }
    ADD_FAILURE() << "expected a UsqueError";
    return UsqueError::BinaryMissing{};
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A port holder that is not usque: the trace-server stand-in listening on the port. (The test
// program itself will not do: its command line names the usque tests.)
class ForeignListener {
public:
    explicit ForeignListener(int port)
        : process_(Subprocess::start({.argv = {testing::TraceServerProcess::programPath(), "--port",
                                               std::to_string(port), "--exit-with-parent"},
                                      .environment = std::nullopt,
                                      .workingDirectory = std::nullopt,
                                      .output = Subprocess::Output::separate})),
          stdout_(process_.releaseStdout()) {}
    bool listening() { return stdout_.waitFor("listening", 5s).has_value(); }
    ~ForeignListener() {
        process_.signal(SIGTERM);
        process_.wait(3s);
    }

private:
    Subprocess process_;
    testing::LineReader stdout_;
};

class UsqueEngineTest : public ::testing::Test {
protected:
    UsqueEngine makeEngine() {
        return UsqueEngine(home_.port(), {.timings = quickTimings(),
                                          .processes = &ProcessTable::system(),
                                          .store = &home_.store()});
    }
    std::vector<pid_t> listeners() { return ProcessTable::system().listenerPids(home_.port()); }

    UsqueTestHome home_;
};

TEST_F(UsqueEngineTest, StartsAChildThatServesSocksAndStopsItCleanly) {
    home_.writeRegistration();
    auto engine = makeEngine();
    engine.startSocks(false);

    EXPECT_TRUE(engine.isRunning());
    EXPECT_TRUE(tunnel_probes::socksAccepts(home_.port()));
    const auto pids = listeners();
    ASSERT_EQ(pids.size(), 1u);
    const auto args = ProcessTable::system().processArgs(pids[0]);
    EXPECT_NE(args.find("socks -c " + UsqueEngine::configPath().string() + " -b 127.0.0.1 -p " +
                        std::to_string(home_.port()) + " --always-reconnect -k 15s"),
              std::string::npos)
        << args;
    EXPECT_EQ(args.find("--http2"), std::string::npos);

    const auto begin = Clock::now();
    engine.stop();
    EXPECT_LT(Clock::now() - begin, 1s);  // a cooperative child ends on SIGTERM at once
    EXPECT_FALSE(engine.isRunning());
    EXPECT_TRUE(listeners().empty());
    EXPECT_TRUE(process_control::isGone(pids[0]));
}

TEST_F(UsqueEngineTest, ReadinessPhraseIsMatchedIgnoringCase) {
    home_.writeRegistration();
    home_.knob("USQUE_STANDIN_READY_LINE", "tunnel established");
    auto engine = makeEngine();
    engine.startSocks(true);
    EXPECT_TRUE(engine.isRunning());
    const auto pids = listeners();
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_NE(ProcessTable::system().processArgs(pids[0]).find("--http2"), std::string::npos);
    engine.stop();
}

TEST_F(UsqueEngineTest, IsRunningTurnsFalseByItselfWhenTheChildDies) {
    home_.writeRegistration();
    auto engine = makeEngine();
    engine.startSocks(false);
    const auto pids = listeners();
    ASSERT_EQ(pids.size(), 1u);
    ::kill(pids[0], SIGKILL);
    EXPECT_TRUE(eventually([&] { return !engine.isRunning(); }));
    engine.stop();
}

TEST_F(UsqueEngineTest, AChildThatNeverGetsReadyTimesOutAndIsStopped) {
    home_.writeRegistration();
    // A usque that says nothing at all: the hint falls back to the fixed text.
    const auto silent = home_.home() / "silent-bin";
    std::filesystem::create_directories(silent);
    std::ofstream(silent / "usque") << "#!/bin/sh\nexec sleep 30\n";
    std::filesystem::permissions(silent / "usque", std::filesystem::perms::owner_all);
    home_.knob("PATH", silent.string() + ":/usr/bin:/bin");

    Timings timings = quickTimings();
    timings.masqueReadiness = 400ms;
    UsqueEngine engine(
        home_.port(),
        {.timings = timings, .processes = &ProcessTable::system(), .store = &home_.store()});
    const auto begin = Clock::now();
    auto failure = failureOf([&] { engine.startSocks(false); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::MasqueTimeout>(failure));
    EXPECT_EQ(std::get<UsqueError::MasqueTimeout>(failure).hint, "timeout waiting for MASQUE");
    EXPECT_GE(Clock::now() - begin, 400ms);
    EXPECT_FALSE(engine.isRunning());
    EXPECT_EQ(UsqueError(failure).description(AppLanguage::english),
              "WARP 隧道未建立：timeout waiting for MASQUE");
}

TEST_F(UsqueEngineTest, ABindFailureLineFromAChildThatExitsZeroIsPortInUse) {
    home_.writeRegistration();
    const std::string port = std::to_string(home_.port());
    home_.knob("USQUE_STANDIN_EXIT_EARLY", "Failed to start SOCKS proxy: listen tcp 127.0.0.1:" +
                                               port + ": bind: address already in use");
    home_.knob("USQUE_STANDIN_EXIT_CODE", "0");
    auto engine = makeEngine();
    auto failure = failureOf([&] { engine.startSocks(false); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::PortInUse>(failure))
        << UsqueError(failure).description(AppLanguage::english);
    EXPECT_EQ(std::get<UsqueError::PortInUse>(failure).port, home_.port());
    EXPECT_EQ(UsqueError(failure).description(AppLanguage::chinese), "端口 " + port + " 已被占用");
}

TEST_F(UsqueEngineTest, OutputKeepsTheNewestTwelveLinesAndHintsFromTheNewestError) {
    home_.writeRegistration();
    std::string lines;
    for (int i = 1; i <= 15; ++i) {
        lines += (i == 4 ? "handshake error " : "noise ") + std::to_string(i) + "\n";
    }
    home_.knob("USQUE_STANDIN_PRE_LINES", lines);
    home_.knob("USQUE_STANDIN_EXIT_EARLY", "last words");
    auto engine = makeEngine();
    auto failure = failureOf([&] { engine.startSocks(false); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::ExitedEarly>(failure));
    // "handshake error 4" fell out of the twelve newest lines, so no line reads like an error:
    // the hint is the last three lines.
    const auto hint = std::get<UsqueError::ExitedEarly>(failure).hint;
    EXPECT_NE(hint.find("noise 14 | "), std::string::npos) << hint;
    EXPECT_NE(hint.find("noise 15 | "), std::string::npos) << hint;
    EXPECT_TRUE(hint.ends_with("last words")) << hint;
    const auto recent = engine.recentLines();
    ASSERT_EQ(recent.size(), 12u);
    EXPECT_TRUE(recent.back().ends_with("last words"));
    EXPECT_EQ(UsqueError(failure).description(AppLanguage::english), "usque 提前退出：" + hint);
}

TEST_F(UsqueEngineTest, APortHeldByAnotherProgramIsLeftAloneAndReportedInUse) {
    home_.writeRegistration();
    ForeignListener holder(home_.port());
    ASSERT_TRUE(holder.listening());
    auto engine = makeEngine();
    const auto begin = Clock::now();
    auto failure = failureOf([&] { engine.startSocks(false); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::PortInUse>(failure));
    EXPECT_GE(Clock::now() - begin, quickTimings().portFreeBeforeStart);
    EXPECT_TRUE(tunnel_probes::socksAccepts(home_.port()));  // still ours, untouched
}

TEST_F(UsqueEngineTest, AHealthyListenerWithTheSameTransportIsAdoptedAndStopEndsIt) {
    home_.writeRegistration();
    testing::TraceServerProcess trace;
    home_.routeTraceHostTo(trace.tcpPort());
    PriorUsque prior(home_, /*http2=*/false);

    auto engine = makeEngine();
    engine.startSocks(false);
    EXPECT_TRUE(engine.isRunning());
    EXPECT_EQ(listeners(), std::vector<pid_t>{prior.pid()});  // no second usque

    engine.stop();
    EXPECT_TRUE(eventually([&] { return prior.exited(); }));
    EXPECT_FALSE(engine.isRunning());
    EXPECT_TRUE(listeners().empty());
}

TEST_F(UsqueEngineTest, AnUnsuitableListenerIsReplacedByAFreshChild) {
    home_.writeRegistration();
    struct Case {
        const char* why;
        bool priorHttp2;
        std::string traceBody;  // empty: the default healthy trace
    };
    const Case cases[] = {{"the other transport", true, ""},
                          {"a trace without ip= (not healthy)", false, "warp=on\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        testing::TraceServerProcess trace({.body = c.traceBody});
        home_.routeTraceHostTo(trace.tcpPort());
        PriorUsque prior(home_, c.priorHttp2);

        auto engine = makeEngine();
        engine.startSocks(false);
        EXPECT_TRUE(prior.exited());
        const auto pids = listeners();
        ASSERT_EQ(pids.size(), 1u);
        EXPECT_NE(pids[0], prior.pid());
        EXPECT_EQ(ProcessTable::system().processArgs(pids[0]).find("--http2"), std::string::npos);
        engine.stop();
    }
}

TEST_F(UsqueEngineTest, AnExistingUsqueRegistrationIsCopiedWithoutRegistering) {
    home_.knob("USQUE_STANDIN_REGISTER_FAIL", "must not run");
    std::filesystem::create_directories(home_.home() / ".config" / "usque");
    std::ofstream(home_.home() / ".config" / "usque" / "config.json") << R"({"id": "mine"})";
    auto engine = makeEngine();
    engine.ensureReady();
    std::ifstream copied(home_.workDirectory() / "config.json");
    std::string contents((std::istreambuf_iterator<char>(copied)), {});
    EXPECT_EQ(contents, R"({"id": "mine"})");
}

TEST_F(UsqueEngineTest, RegistrationRunsUsqueRegisterAndReportsItsFailure) {
    auto engine = makeEngine();
    engine.ensureReady();  // registers through the stand-in (stdin at EOF, -a given)
    EXPECT_TRUE(std::filesystem::exists(home_.workDirectory() / "config.json"));

    std::filesystem::remove(home_.workDirectory() / "config.json");
    const std::string output(400, 'x');
    home_.knob("USQUE_STANDIN_REGISTER_FAIL", output);
    auto failure = failureOf([&] { engine.ensureReady(); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::RegisterFailed>(failure));
    EXPECT_EQ(std::get<UsqueError::RegisterFailed>(failure).status, 1);
    EXPECT_EQ(UsqueError(failure).description(AppLanguage::english),
              "usque register 失败 (1)：" + std::string(280, 'x'));
}

TEST_F(UsqueEngineTest, NoUsqueAnywhereIsBinaryMissing) {
    home_.knob("PATH", "/nonexistent");
    auto engine = makeEngine();
    auto failure = failureOf([&] { engine.ensureReady(); });
    EXPECT_TRUE(std::holds_alternative<UsqueError::BinaryMissing>(failure));
    EXPECT_EQ(UsqueError(failure).description(AppLanguage::english),
              "找不到 usque。请安装到 ~/.local/bin/usque，或运行 scripts/fetch-usque");
}

TEST(UsqueEngineLaunch, TheChildEnvironmentDropsLibraryInjection) {
    testing::ScopedEnv preload("LD_PRELOAD", "/tmp/libhook.so");
    testing::ScopedEnv dyld("DYLD_INSERT_LIBRARIES", "/tmp/libhook.dylib");
    testing::ScopedEnv kept("NIMBRA_KEPT", "yes");
    const auto environment = UsqueEngine::childEnvironment();
    for (const auto& variable : environment) {
        EXPECT_FALSE(variable.starts_with("LD_PRELOAD=")) << variable;
        EXPECT_FALSE(variable.starts_with("DYLD_INSERT_LIBRARIES=")) << variable;
    }
    EXPECT_NE(std::find(environment.begin(), environment.end(), "NIMBRA_KEPT=yes"),
              environment.end());
}

TEST(UsqueError, ChineseDescriptionsAreExact) {
    EXPECT_EQ(
        UsqueError(UsqueError::LaunchFailed{"Permission denied"}).description(AppLanguage::english),
        "无法启动 usque：Permission denied");
    EXPECT_EQ(UsqueError(UsqueError::ExitedEarly{"bind: address already in use", 19999})
                  .description(AppLanguage::english),
              "端口 19999 已被占用");
    EXPECT_EQ(UsqueError(UsqueError::SocksNotReady{19999}).description(AppLanguage::chinese),
              "SOCKS :19999 未就绪");
    EXPECT_EQ(UsqueError(UsqueError::NativeTunUnsupported{}).description(AppLanguage::english),
              "usque nativetun 在 macOS 上不可用（仅 Linux/Windows）");
    // 280 characters, not bytes: a multi-byte character is never cut.
    const std::string wide = std::string(279, 'a') + "错误";
    EXPECT_EQ(UsqueError(UsqueError::RegisterFailed{2, wide}).description(AppLanguage::english),
              "usque register 失败 (2)：" + std::string(279, 'a') + "错");
}

}  // namespace
}  // namespace nimbra
