#include "base/subprocess.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using Output = Subprocess::Output;

// Generous compared with what the children need, small compared with the sleeps they are
// killed out of: a hang shows up as a failure, not as a stuck test run.
constexpr auto kPatience = 3s;

Subprocess::Options command(std::vector<std::string> argv, Output output = Output::separate) {
    Subprocess::Options options;
    options.argv = std::move(argv);
    options.output = output;
    return options;
}

Subprocess::RunResult runToEnd(std::vector<std::string> argv, Output output = Output::separate) {
    return Subprocess::run(command(std::move(argv), output), kPatience);
}

std::chrono::milliseconds elapsedSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// kill(pid, 0) still succeeds for a zombie nobody has reaped yet (an orphan whose new parent is
// slow to reap), so ask /proc whether the process still runs.
bool processIsGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const auto nameEnd = line.rfind(')');
    return nameEnd != std::string::npos && line.compare(nameEnd, 3, ") Z") == 0;
}

bool becomesGone(pid_t pid) {
    const auto deadline = Clock::now() + kPatience;
    while (!processIsGone(pid)) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void expectLaunchFailure(Subprocess::Options options, int code, const std::string& text) {
    try {
        Subprocess::start(std::move(options));
        ADD_FAILURE() << "launch succeeded";
    } catch (const SubprocessError& error) {
        EXPECT_EQ(error.code(), code);
        EXPECT_THAT(error.what(), HasSubstr(text));
    }
}

TEST(SubprocessExit, ReportsExitCodes) {
    const auto failed = runToEnd({"/bin/sh", "-c", "exit 3"});
    EXPECT_EQ(failed.status.code, 3);
    EXPECT_FALSE(failed.status.signal);
    EXPECT_FALSE(failed.status.succeeded());
    EXPECT_FALSE(failed.timedOut);

    auto child = Subprocess::start(command({"/bin/true"}));
    EXPECT_TRUE(child.wait().succeeded());
    EXPECT_FALSE(child.running());
    // The status stays available; the pid must not be waited for a second time.
    EXPECT_TRUE(child.wait(0ms)->succeeded());
}

TEST(SubprocessExit, SearchesThePathForBareProgramNames) {
    EXPECT_EQ(runToEnd({"echo", "found"}).out, "found\n");
    EXPECT_EQ(runToEnd({"false"}).status.code, 1);
}

TEST(SubprocessExit, PassesArgumentsVerbatimWithoutAShell) {
    const auto result = runToEnd({"/usr/bin/printf", "%s|", "a b", "$HOME", "*", "", "'q'; ls"});
    EXPECT_EQ(result.out, "a b|$HOME|*||'q'; ls|");
}

TEST(SubprocessLaunch, FailureNamesTheProgramAndTheReason) {
    expectLaunchFailure(command({"/no/such/program"}), ENOENT,
                        "cannot launch /no/such/program: No such file or directory");
    expectLaunchFailure(command({"nimbra-no-such-program"}), ENOENT, "No such file or directory");
    expectLaunchFailure(command({}), EINVAL, "empty command line");
}

TEST(SubprocessLaunch, RefusesFilesThatAreNotExecutable) {
    // Exec needs an execute bit even for root, so this also fails when the tests run as root.
    TempDir dir;
    const fs::path script = dir / "script.sh";
    std::ofstream(script) << "echo should not run\n";
    fs::permissions(script, fs::perms::owner_read | fs::perms::owner_write);
    expectLaunchFailure(command({script.string()}), EACCES, "Permission denied");
}

TEST(SubprocessLaunch, MissingWorkingDirectoryIsALaunchFailure) {
    auto options = command({"/bin/pwd"});
    options.workingDirectory = "/no/such/directory";
    expectLaunchFailure(options, ENOENT, "in /no/such/directory: No such file or directory");
}

TEST(SubprocessOutput, KeepsStdoutAndStderrApart) {
    const auto result = runToEnd({"/bin/sh", "-c", "printf out; printf err >&2; printf more"});
    EXPECT_EQ(result.out, "outmore");
    EXPECT_EQ(result.err, "err");
}

TEST(SubprocessOutput, JoinedModeInterleavesInWritingOrder) {
    const auto result = runToEnd(
        {"/bin/sh", "-c", "printf 1; printf 2 >&2; printf 3; printf 4 >&2"}, Output::joined);
    EXPECT_EQ(result.out, "1234");
    EXPECT_EQ(result.err, "");
}

TEST(SubprocessOutput, DiscardModeGivesTheChildWritableSinks) {
    // echo fails, and so does the script, if stdout or stderr is not open for writing.
    const auto result = runToEnd({"/bin/sh", "-c", "echo out && echo err >&2"}, Output::discard);
    EXPECT_TRUE(result.status.succeeded());
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

// Points our own stdin at a pipe that stays open and silent, so a child that inherited it instead
// of getting /dev/null would sit waiting for input.
class SilentStdin {
public:
    SilentStdin() : saved_(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
        ::dup2(fds[0], STDIN_FILENO);
        ::close(fds[0]);
        writeEnd_ = fds[1];
    }
    ~SilentStdin() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDIN_FILENO);
            ::close(saved_);
        } else {
            ::close(STDIN_FILENO);
        }
        ::close(writeEnd_);
    }
    SilentStdin(const SilentStdin&) = delete;
    SilentStdin& operator=(const SilentStdin&) = delete;

private:
    int saved_;
    int writeEnd_ = -1;
};

TEST(SubprocessOutput, StdinIsEmpty) {
    SilentStdin silent;
    const auto start = Clock::now();
    const auto result = runToEnd({"/bin/cat"});
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(result.status.succeeded());
    EXPECT_EQ(result.out, "");
    EXPECT_LT(elapsedSince(start), 1s);
}

TEST(SubprocessOutput, MoreThanAPipeBufferDoesNotDeadlock) {
    constexpr size_t kMiB = 1024 * 1024;
    const auto single = runToEnd({"/usr/bin/head", "-c", std::to_string(kMiB), "/dev/zero"});
    EXPECT_FALSE(single.timedOut);
    EXPECT_EQ(single.out.size(), kMiB);

    // Filling stderr first: a reader that only drained stdout would stall the child here.
    const auto both = runToEnd(
        {"/bin/sh", "-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero; echo end"});
    EXPECT_FALSE(both.timedOut);
    EXPECT_TRUE(both.status.succeeded());
    EXPECT_EQ(both.err.size(), kMiB);
    EXPECT_EQ(both.out.size(), kMiB + 4);
    EXPECT_EQ(both.out.substr(kMiB), "end\n");
}

TEST(SubprocessOutput, ReleasedStdoutIsTheCallersToRead) {
    auto child = Subprocess::start(command({"/bin/sh", "-c", "echo one; echo two; echo err >&2"}));
    const int fd = child.releaseStdout();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(child.releaseStdout(), -1);

    // Reading to end of file terminates only if no copy of the write end survives on our side.
    std::string read;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) read.append(buffer, static_cast<size_t>(n));
    ::close(fd);

    EXPECT_EQ(read, "one\ntwo\n");
    EXPECT_TRUE(child.wait(kPatience)->succeeded());
    EXPECT_EQ(child.takeStdout(), "");
    EXPECT_EQ(child.takeStderr(), "err\n");
}

TEST(SubprocessOutput, ExitIsNoticedWhileAHelperHoldsThePipeOpen) {
    const auto start = Clock::now();
    const auto result = runToEnd({"/bin/sh", "-c", "sleep 5 & echo $!"});
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(result.status.succeeded());
    EXPECT_LT(elapsedSince(start), 1s);

    const pid_t helper = std::stoi(result.out);
    ::kill(helper, SIGKILL);
    EXPECT_TRUE(becomesGone(helper));
}

TEST(SubprocessEnvironment, ChildSeesExactlyTheGivenEnvironment) {
    auto options = command({"/usr/bin/env"});
    options.environment = std::vector<std::string>{"A=1", "SPACED=two words", "EMPTY="};
    EXPECT_EQ(Subprocess::run(options, kPatience).out, "A=1\nSPACED=two words\nEMPTY=\n");

    options.environment = std::vector<std::string>{};
    EXPECT_EQ(Subprocess::run(options, kPatience).out, "");
}

TEST(SubprocessEnvironment, InheritsOursByDefault) {
    ScopedEnv probe("NIMBRA_SUBPROCESS_PROBE", "inherited value");
    EXPECT_THAT(runToEnd({"/usr/bin/env"}).out,
                HasSubstr("\nNIMBRA_SUBPROCESS_PROBE=inherited value\n"));
}

TEST(SubprocessEnvironment, RunsInTheChosenWorkingDirectory) {
    TempDir dir;
    auto options = command({"/bin/pwd"});
    options.workingDirectory = dir.path();
    EXPECT_EQ(Subprocess::run(options, kPatience).out, fs::canonical(dir.path()).string() + "\n");

    EXPECT_EQ(runToEnd({"/bin/pwd"}).out, fs::current_path().string() + "\n");
}

TEST(SubprocessTiming, WaitTimesOutPromptly) {
    auto child = Subprocess::start(command({"/bin/sleep", "5"}));
    const auto start = Clock::now();
    EXPECT_FALSE(child.wait(50ms).has_value());
    EXPECT_LT(elapsedSince(start), 1s);
    EXPECT_TRUE(child.running());

    child.kill();
    const auto status = child.wait(kPatience);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->signal, SIGKILL);
    EXPECT_EQ(status->code, 128 + SIGKILL);
}

TEST(SubprocessTiming, RunKillsAChildThatOverruns) {
    const auto start = Clock::now();
    const auto result = Subprocess::run(command({"/bin/sleep", "5"}), 100ms);
    EXPECT_LT(elapsedSince(start), 2s);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.status.signal, SIGKILL);
}

TEST(SubprocessTiming, RunTimeOutTakesTheChildsHelpersDownToo) {
    // The helper's pid is printed before the child settles into waiting for it.
    const auto result =
        Subprocess::run(command({"/bin/sh", "-c", "sleep 5 & echo $!; wait"}), 300ms);
    ASSERT_TRUE(result.timedOut);
    ASSERT_FALSE(result.out.empty());
    EXPECT_TRUE(becomesGone(std::stoi(result.out)));
}

TEST(SubprocessSignals, StatusNamesTheSignalThatEndedTheChild) {
    auto child = Subprocess::start(command({"/bin/sleep", "5"}));
    child.signal(SIGTERM);
    const auto status = child.wait(kPatience);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->signal, SIGTERM);
    EXPECT_EQ(status->code, 128 + SIGTERM);
    EXPECT_FALSE(status->succeeded());
}

// Blocks SIGTERM in this thread and ignores SIGINT process-wide for as long as it lives.
class HostileSignalState {
public:
    HostileSignalState() {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &term, &previousMask_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGINT, &ignore, &previousInt_);
    }
    ~HostileSignalState() {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
    }
    HostileSignalState(const HostileSignalState&) = delete;
    HostileSignalState& operator=(const HostileSignalState&) = delete;

private:
    sigset_t previousMask_;
    struct sigaction previousInt_ {};
};

TEST(SubprocessSignals, ChildDoesNotInheritBlockedOrIgnoredSignals) {
    HostileSignalState hostile;
    auto terminated = Subprocess::start(command({"/bin/sleep", "5"}));
    auto interrupted = Subprocess::start(command({"/bin/sleep", "5"}));
    terminated.signal(SIGTERM);
    interrupted.signal(SIGINT);
    EXPECT_EQ(terminated.wait(kPatience).value_or(Subprocess::ExitStatus{}).signal, SIGTERM);
    EXPECT_EQ(interrupted.wait(kPatience).value_or(Subprocess::ExitStatus{}).signal, SIGINT);
}

TEST(SubprocessLifetime, DestructorKillsAndReapsARunningChild) {
    pid_t pid;
    {
        auto child = Subprocess::start(command({"/bin/sleep", "5"}));
        pid = child.pid();
        ASSERT_GT(pid, 0);
    }
    // ESRCH rather than success: the child is not even a zombie any more.
    const int rc = ::kill(pid, 0);
    const int error = errno;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(error, ESRCH);
}

TEST(SubprocessLifetime, MovingHandsOverTheChild) {
    auto original = Subprocess::start(command({"/bin/sleep", "5"}));
    const pid_t pid = original.pid();
    {
        Subprocess moved = std::move(original);
        EXPECT_EQ(original.pid(), -1);
        EXPECT_FALSE(original.running());
        EXPECT_EQ(moved.pid(), pid);
        EXPECT_TRUE(moved.running());
    }
    EXPECT_EQ(::kill(pid, 0), -1);

    // Assigning over a Subprocess ends the child it held.
    auto replaced = Subprocess::start(command({"/bin/sleep", "5"}));
    const pid_t replacedPid = replaced.pid();
    replaced = Subprocess::start(command({"/bin/sh", "-c", "echo replacement"}));
    EXPECT_EQ(::kill(replacedPid, 0), -1);
    EXPECT_TRUE(replaced.wait(kPatience)->succeeded());
    EXPECT_EQ(replaced.takeStdout(), "replacement\n");
}

TEST(SubprocessLifetime, DetachedChildOutlivesTheObject) {
    pid_t pid;
    {
        auto child = Subprocess::start(command({"/bin/sleep", "5"}, Output::discard));
        pid = child.detach();
        EXPECT_EQ(child.pid(), -1);
        // Waiting on nothing must not turn into waiting for any child at all.
        EXPECT_THROW(child.wait(), std::logic_error);
    }
    EXPECT_EQ(::kill(pid, 0), 0);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(::waitpid(pid, nullptr, 0), pid);
}

TEST(SubprocessThreads, ConcurrentChildrenKeepTheirOwnOutputAndStatus) {
    constexpr int kThreads = 8;
    constexpr int kRunsPerThread = 10;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < kRunsPerThread; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                const auto result = Subprocess::run(
                    command({"/bin/sh", "-c", "echo " + tag + "; exit " + std::to_string(t)}),
                    kPatience);
                if (result.out != tag + "\n" || result.status.code != t) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace nimbra
