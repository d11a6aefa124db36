// The engine against the usque stand-in, on a private home and a free loopback port: start and
// stop, readiness, early exits, stops that overtake a start, listeners already on the port,
// registration, and error texts.

#include "engine/usque_engine.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>

#include "engine/tunnel_probes.hpp"
#include "engine/usque_error.hpp"
#include "support/file_text.hpp"
#include "support/line_reader.hpp"
#include "support/scoped_env.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"
#include "system/process_control.hpp"
#include "system/process_table.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using testing::PriorUsque;

// Waits that end by themselves get far more than CTest's per-test limit (300 s): a regression
// shows up as a timed-out test, never as a race against the clock.
constexpr std::chrono::milliseconds kBeyondCtest = std::chrono::minutes(30);

Timings patientTimings() {
    Timings timings;
    timings.masqueReadiness = kBeyondCtest;
    // A poll interval, not a limit: a child that closes its output just before it exits is
    // only seen gone by the next poll.
    timings.readinessPoll = 20ms;
    timings.portFreeBeforeStart = kBeyondCtest;
    timings.portFreeWait = kBeyondCtest;
    timings.childStopGrace = kBeyondCtest;  // so only SIGTERM can end our child in time
    timings.pidPoll = 10ms;
    return timings;
}

// Polls until `condition` holds; false only if CTest has not ended the test long before.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kBeyondCtest;
    for (; !condition(); std::this_thread::sleep_for(10ms)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
}

// Runs `action` and returns the engine error it throws (fails the test if it throws nothing).
UsqueError::Case failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const UsqueError& error) {
        return error.reason();
    }
    ADD_FAILURE() << "expected a UsqueError";
    return UsqueError::BinaryMissing{};
}

// Runs a start on a thread of its own, as the controller's pool does. Its outcome: "started",
// "called off" or the error's text.
std::future<std::string> startInBackground(UsqueEngine& engine) {
    return std::async(std::launch::async, [&engine]() -> std::string {
        try {
            engine.startSocks(false);
            return "started";
        } catch (const UsqueEngine::StartStopped&) {
            return "called off";
        } catch (const std::exception& error) {
            return error.what();
        }
    });
}

// Starts the trace-server stand-in on `port`, holding it for as long as it runs. (Not the test
// program itself: its command line names the usque tests, and the engine ends usque listeners on
// its port.)
Subprocess holdPort(const std::string& port) {
    Subprocess::Options options;
    options.argv = {testing::TraceServerProcess::programPath(), "--port", port,
                    "--exit-with-parent"};
    auto holder = Subprocess::start(std::move(options));
    testing::LineReader holderOut(holder.releaseStdout());
    EXPECT_TRUE(holderOut.waitFor("listening", kBeyondCtest));
    return holder;
}

// The system's table, counting the questions about who listens on a port (a start waiting for
// its port to free keeps asking), and in which one pid, once named, reads as another program:
// what pid reuse looks like after an adopted usque has gone.
class WatchedTable : public ProcessTable {
public:
    std::vector<pid_t> listenerPids(int port) override {
        ++listenerQueries;
        return ProcessTable::system().listenerPids(port);
    }
    std::string processArgs(pid_t pid) override {
        return pid == reused ? "/usr/bin/sleep 1000" : ProcessTable::system().processArgs(pid);
    }
    std::string listenerSnapshot(int port) override {
        return ProcessTable::system().listenerSnapshot(port);
    }

    std::atomic<int> listenerQueries{0};
    std::atomic<pid_t> reused{0};
};

class UsqueEngineTest : public ::testing::Test {
protected:
    void SetUp() override { home_.writeRegistration(); }
    UsqueEngine makeEngine(Timings timings = patientTimings(),
                           ProcessTable& table = ProcessTable::system()) {
        return UsqueEngine(home_.port(),
                           {.timings = timings, .processes = &table, .store = &home_.store()});
    }
    std::vector<pid_t> listeners() { return ProcessTable::system().listenerPids(home_.port()); }
    std::string port() const { return std::to_string(home_.port()); }

    testing::UsqueTestHome home_;
};

TEST_F(UsqueEngineTest, StartsUsqueForEitherTransportAndNoticesWhenItEnds) {
    // Readiness is any of usque's phrases in any case.
    const struct {
        bool http2;
        const char* readyLine;  // nullptr: the stand-in's "Connected to MASQUE server"
    } cases[] = {{false, nullptr},
                 {true, "tunnel established"},
                 {false, "2026/12/06 10:00:00 SUCCESSFULLY CONNECTED TO CLOUDFLARE"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.readyLine ? c.readyLine : "QUIC");
        if (c.readyLine) home_.knob("USQUE_STANDIN_READY_LINE", c.readyLine);
        auto engine = makeEngine();
        engine.startSocks(c.http2);
        EXPECT_TRUE(engine.isRunning());
        EXPECT_TRUE(tunnel_probes::socksAccepts(home_.port()));
        const auto pids = listeners();
        ASSERT_EQ(pids.size(), 1u);
        EXPECT_EQ(ProcessTable::system().processArgs(pids[0]),
                  engine.resolveBinary().string() + " socks -c " +
                      UsqueEngine::configPath().string() + " -b 127.0.0.1 -p " + port() +
                      " --always-reconnect -k 15s" + (c.http2 ? " --http2" : ""));

        engine.stop();
        EXPECT_FALSE(engine.isRunning());
        EXPECT_TRUE(listeners().empty());
        EXPECT_TRUE(process_control::isGone(pids[0]));
    }

    auto engine = makeEngine();
    engine.startSocks(false);
    ::kill(listeners().at(0), SIGKILL);  // a dead child is noticed without a stop
    EXPECT_TRUE(eventually([&] { return !engine.isRunning(); }));
}

// Knobs scoped by hand: the scenarios set the same variables anew.
TEST_F(UsqueEngineTest, AChildThatNeverGetsReadyOrExitsEarlyFailsAndIsStopped) {
    {
        testing::ScopedEnv neverReady("USQUE_STANDIN_NEVER_READY", "1");
        testing::ScopedEnv almost("USQUE_STANDIN_PRE_LINES", "Connecting to MASQUE server\n");
        Timings timings = patientTimings();
        timings.masqueReadiness = 300ms;
        auto engine = makeEngine(timings);
        const auto failure = failureOf([&] { engine.startSocks(false); });
        ASSERT_TRUE(std::holds_alternative<UsqueError::MasqueTimeout>(failure));
        EXPECT_FALSE(engine.isRunning());
        EXPECT_TRUE(listeners().empty());
    }
    auto engine = makeEngine();
    {
        // usque exits 0 when it cannot bind; its log line is all there is to go by.
        testing::ScopedEnv line("USQUE_STANDIN_EXIT_EARLY",
                                "Failed to start SOCKS proxy: listen tcp 127.0.0.1:" + port() +
                                    ": bind: address already in use");
        testing::ScopedEnv status("USQUE_STANDIN_EXIT_CODE", "0");
        const auto failure = failureOf([&] { engine.startSocks(false); });
        ASSERT_TRUE(std::holds_alternative<UsqueError::PortInUse>(failure));
        EXPECT_EQ(std::get<UsqueError::PortInUse>(failure).port, home_.port());
    }
    std::string lines;
    for (int i = 1; i <= 15; ++i) {
        lines += (i == 4 ? "handshake error " : "noise ") + std::to_string(i) + "\n";
    }
    testing::ScopedEnv preLines("USQUE_STANDIN_PRE_LINES", lines);
    testing::ScopedEnv lastWords("USQUE_STANDIN_EXIT_EARLY", "last words");
    const auto failure = failureOf([&] { engine.startSocks(false); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::ExitedEarly>(failure));
    // "handshake error 4" fell out of the newest twelve, so no line reads like an error: the hint
    // is the last three lines.
    EXPECT_THAT(std::get<UsqueError::ExitedEarly>(failure).hint,
                MatchesRegex(".* noise 14 \\| .* noise 15 \\| .* last words"));
    EXPECT_EQ(engine.recentLines().size(), 12u);
}

// The start waits for a readiness line that never comes (the time-out is far beyond the test's),
// so only the stop can end it. The called-off start unwinds while the next one runs; ending its
// child must not end the new one.
TEST_F(UsqueEngineTest, AStopDuringAStartCallsItOffWithoutHarmingTheNextStart) {
    for (const int stoppers : {1, 2}) {
        SCOPED_TRACE(std::to_string(stoppers) + " stop() at once");
        auto engine = makeEngine();
        std::optional<testing::ScopedEnv> neverReady(std::in_place, "USQUE_STANDIN_NEVER_READY",
                                                     "1");
        auto start = startInBackground(engine);
        ASSERT_TRUE(eventually([&] { return listeners().size() == 1; }));
        const pid_t child = listeners()[0];
        std::vector<std::thread> stops;
        for (int i = 0; i < stoppers; ++i) stops.emplace_back([&] { engine.stop(); });
        for (auto& stop : stops) stop.join();
        neverReady.reset();

        engine.startSocks(false);
        EXPECT_EQ(start.get(), "called off");
        EXPECT_TRUE(process_control::isGone(child));
        EXPECT_TRUE(engine.isRunning());
        const auto pids = listeners();
        ASSERT_EQ(pids.size(), 1u);
        EXPECT_NE(pids[0], child);
        EXPECT_TRUE(tunnel_probes::socksAccepts(home_.port()));
        engine.stop();
        EXPECT_FALSE(engine.isRunning());
        EXPECT_TRUE(listeners().empty());
    }
}

// Another program on the port is never ended: a start waiting for it to go is called off by a
// stop before it launches anything, and one whose wait runs out reports the port in use.
TEST_F(UsqueEngineTest, APortHeldByAnotherProgramIsLeftAlone) {
    auto holder = holdPort(port());
    WatchedTable table;
    auto waiting = makeEngine(patientTimings(), table);
    auto start = startInBackground(waiting);
    // One look for a usque to adopt, one for usque to end, then the waiting.
    ASSERT_TRUE(eventually([&] { return table.listenerQueries > 3; }));
    waiting.stopProcessOnly();
    EXPECT_EQ(start.get(), "called off");
    EXPECT_EQ(listeners(), std::vector<pid_t>{holder.pid()});  // no usque was launched

    Timings timings = patientTimings();
    timings.portFreeBeforeStart = 200ms;  // the holder never lets go
    auto engine = makeEngine(timings);
    const auto failure = failureOf([&] { engine.startSocks(false); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::PortInUse>(failure));
    EXPECT_TRUE(holder.running());  // not ours to stop; the Subprocess ends it with the test
    EXPECT_TRUE(tunnel_probes::socksAccepts(home_.port()));
}

// An adopted usque is ended like our own, unless its pid has come to name another program by then:
// that one is forgotten, not signalled.
TEST_F(UsqueEngineTest, AUsqueOnThePortIsAdoptedOnlyIfHealthyWithTheSameTransport) {
    const struct {
        const char* why;
        bool priorHttp2;
        std::string traceBody;  // empty: the default healthy trace
        bool adopted;
        bool pidReused = false;
    } cases[] = {{"healthy, same transport", false, "", true},
                 {"the other transport", true, "", false},
                 {"WARP off behind it", false, "ip=198.51.100.7\nwarp=off\n", false},
                 {"adopted, then its pid reused", false, "", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        testing::TraceServerProcess trace({.body = c.traceBody});
        testing::ScopedEnv route("USQUE_STANDIN_HOSTS",  // as routeTraceHostTo, scoped to the case
                                 "www.cloudflare.com=127.0.0.1:" + std::to_string(trace.tcpPort()));
        PriorUsque prior(home_, c.priorHttp2);

        WatchedTable table;
        auto engine = makeEngine(patientTimings(), table);
        engine.startSocks(false);
        EXPECT_TRUE(engine.isRunning());
        const auto pids = listeners();
        ASSERT_EQ(pids.size(), 1u);  // never a second usque
        EXPECT_EQ(pids[0] == prior.pid(), c.adopted);
        EXPECT_THAT(ProcessTable::system().processArgs(pids[0]), Not(HasSubstr("--http2")));
        if (c.pidReused) table.reused = prior.pid();
        engine.stopProcessOnly();
        EXPECT_FALSE(engine.isRunning());
        if (c.pidReused) {
            EXPECT_FALSE(prior.exited());  // a terminated prior would have been reaped by now
        } else {
            EXPECT_TRUE(eventually([&] { return prior.exited(); }));
            EXPECT_TRUE(listeners().empty());
        }
    }
}

TEST_F(UsqueEngineTest, RegistersThroughUsqueOrCopiesTheUsersOwnAndReportsWhatFails) {
    const auto config = home_.workDirectory() / "config.json";
    std::filesystem::remove(config);
    auto engine = makeEngine();
    engine.ensureReady();  // the stand-in refuses at stdin's EOF unless -a is given
    EXPECT_TRUE(std::filesystem::exists(config));

    std::filesystem::remove(config);
    home_.knob("USQUE_STANDIN_REGISTER_FAIL", "no capacity");
    const auto own = home_.home() / ".config" / "usque" / "config.json";
    testing::writeFile(own, R"({"id": "mine"})");
    engine.ensureReady();  // copied, so usque register (which would fail now) never runs
    EXPECT_EQ(testing::readFile(config), R"({"id": "mine"})");

    std::filesystem::remove(config);
    std::filesystem::remove(own);
    auto failure = failureOf([&] { engine.ensureReady(); });
    ASSERT_TRUE(std::holds_alternative<UsqueError::RegisterFailed>(failure));
    EXPECT_EQ(std::get<UsqueError::RegisterFailed>(failure).status, 1);
    EXPECT_THAT(std::get<UsqueError::RegisterFailed>(failure).output, HasSubstr("no capacity"));

    testing::ScopedEnv noUsque("PATH", "/nonexistent");
    failure = failureOf([&] { engine.ensureReady(); });
    EXPECT_TRUE(std::holds_alternative<UsqueError::BinaryMissing>(failure));
}

TEST(UsqueEngineLaunch, TheChildEnvironmentDropsLibraryInjectionOnly) {
    testing::ScopedEnv preload("LD_PRELOAD", "/tmp/libhook.so");
    testing::ScopedEnv dyld("DYLD_INSERT_LIBRARIES", "/tmp/libhook.dylib");
    testing::ScopedEnv kept("NIMBRA_KEPT", "yes");
    std::vector<std::string> seen;
    for (const auto& variable : UsqueEngine::childEnvironment()) {
        if (variable.find("libhook") != std::string::npos || variable.starts_with("NIMBRA_KEPT=")) {
            seen.push_back(variable);
        }
    }
    EXPECT_EQ(seen, std::vector<std::string>{"NIMBRA_KEPT=yes"});
}

TEST(UsqueError, DescriptionsCarryTheirDetails) {
    // 280 characters, not bytes: a multi-byte character is never cut.
    const std::string wide = std::string(279, 'a') + "错误";
    const std::pair<UsqueError::Case, std::string> cases[] = {
        // A bind failure names the port the user chose, which is what they can change.
        {UsqueError::ExitedEarly{"bind: address already in use", 19999}, "端口 19999 已被占用"},
        {UsqueError::RegisterFailed{2, wide},
         "usque register 失败 (2)：" + std::string(279, 'a') + "错"},
    };
    for (const auto& [reason, text] : cases) {
        EXPECT_EQ(UsqueError(reason).description(AppLanguage::chinese), text);
    }
}

}  // namespace
}  // namespace nimbra
