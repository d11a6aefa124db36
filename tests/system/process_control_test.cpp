// Ending processes, waiting for ports and finding programs, against real children.

#include "system/process_control.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "base/subprocess.hpp"
#include "support/line_reader.hpp"
#include "system/process_table.hpp"

// Every kill() in this test program comes through here. "Everyone" (-1) and "my process group"
// (0) never reach the kernel -- a regression would otherwise signal the whole session -- and are
// counted instead.
std::atomic<int> groupWideKills{0};
extern "C" int kill(pid_t pid, int sig) noexcept {
    if (pid == 0 || pid == -1) {
        ++groupWideKills;
        return 0;
    }
    return static_cast<int>(::syscall(SYS_kill, pid, sig));
}

namespace nimbra {
namespace {

using namespace std::chrono_literals;

// Waits that end by themselves get far more than CTest's per-test limit (300 s): a regression
// shows up as a timed-out test, never as a race against the clock.
constexpr std::chrono::milliseconds kBeyondCtest = std::chrono::minutes(30);

// A child that says "ready" once it has run `script`, then sleeps; exec keeps it one process.
Subprocess startShell(const std::string& script) {
    Subprocess::Options options;
    options.argv = {"/bin/sh", "-c", script + "; echo ready; exec sleep 600"};
    auto child = Subprocess::start(std::move(options));
    EXPECT_TRUE(testing::LineReader(child.releaseStdout()).waitFor("ready", kBeyondCtest));
    return child;
}

TEST(ProcessControlTerminate, SigtermThenSigkillUntilGoneAndNeverAPidBelowOne) {
    // The interval only paces the polls: SIGKILL follows after twenty of them.
    const struct {
        const char* script;
        std::chrono::milliseconds pollInterval;
        int endedBy;
    } cases[] = {{":", 200ms, SIGTERM}, {"trap '' TERM", 20ms, SIGKILL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        Subprocess child = startShell(c.script);
        process_control::terminatePid(child.pid(), c.pollInterval);
        // Gone already on return, though still a zombie until reaped below.
        EXPECT_TRUE(process_control::isGone(child.pid()));
        EXPECT_EQ(child.wait(kBeyondCtest).value_or(Subprocess::ExitStatus{}).signal, c.endedBy);
    }

    // A process that is gone already (a zombie here) is not polled for: one poll outlasts CTest.
    Subprocess zombie = startShell(":");
    zombie.signal(SIGKILL);
    while (!process_control::isGone(zombie.pid())) std::this_thread::sleep_for(5ms);
    process_control::terminatePid(zombie.pid(), kBeyondCtest);

    for (const pid_t pid : {0, -1}) process_control::terminatePid(pid, 1ms);
    EXPECT_EQ(groupWideKills, 0);
}

// Answers "4242 listens" a given number of times, then "nobody".
class ScriptedTable : public ProcessTable {
public:
    explicit ScriptedTable(int busyAnswers) : busyAnswers_(busyAnswers) {}
    std::vector<pid_t> listenerPids(int port) override {
        EXPECT_EQ(port, 8080);
        return ++calls <= busyAnswers_ ? std::vector<pid_t>{4242} : std::vector<pid_t>{};
    }
    std::string processArgs(pid_t) override { return ""; }
    std::string listenerSnapshot(int) override { return "(none)"; }

    std::atomic<int> calls = 0;

private:
    const int busyAnswers_;
};

TEST(ProcessControlPortWait, PollsUntilThePortIsFreeOrTheTimeOutHasPassed) {
    ScriptedTable freedAfterThree(3);
    process_control::waitUntilPortFree(freedAfterThree, 8080, kBeyondCtest, 1ms);
    EXPECT_EQ(freedAfterThree.calls, 4);

    ScriptedTable alwaysBusy(1'000'000);
    const auto start = std::chrono::steady_clock::now();
    process_control::waitUntilPortFree(alwaysBusy, 8080, 100ms, 10ms);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_GE(alwaysBusy.calls, 2);

    ScriptedTable busy(1'000'000);
    process_control::waitUntilPortFree(busy, 8080, 0ms, kBeyondCtest);  // no time: no sleep
    EXPECT_LE(busy.calls, 1);
}

TEST(ProcessControl, WhichTakesTheToolsTrimmedAnswerAndUsqueIsSpottedInAnyCase) {
    const auto shell = process_control::which("sh").value_or("");
    EXPECT_TRUE(shell.starts_with("/") && std::filesystem::exists(shell)) << shell;
    EXPECT_EQ(process_control::which("no-such-tool-xyz"), std::nullopt);
    EXPECT_EQ(process_control::which("usque", "/bin/echo"), "usque");
    for (const char* silentOrFailing : {"/bin/true", "/bin/false", "/no/such/which"}) {
        EXPECT_EQ(process_control::which("usque", silentOrFailing), std::nullopt);
    }

    EXPECT_TRUE(process_control::commandLineMentionsUsque("/Applications/Nimbra.app/USQUE -p 1"));
    EXPECT_FALSE(process_control::commandLineMentionsUsque("/usr/bin/python3 -m http.server"));
}

}  // namespace
}  // namespace nimbra
