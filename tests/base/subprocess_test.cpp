// Subprocess against real programs: what the child gets (argv, environment, directory, stdin,
// signal mask), what comes back (status, output in every mode), how it ends (time-out, kill).

#include "base/subprocess.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "support/inheritable_listener.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nimbra::testing::TempDir;
using ::testing::HasSubstr;
using Output = Subprocess::Output;

// Waits that end by themselves get far more than CTest's per-test limit (300 s): a regression
// shows up as a timed-out test, never as a race against the clock.
constexpr std::chrono::milliseconds kBeyondCtest = std::chrono::minutes(30);

Subprocess::Options command(std::vector<std::string> argv, Output output = Output::separate) {
    Subprocess::Options options;
    options.argv = std::move(argv);
    options.output = output;
    return options;
}

Subprocess::RunResult runToEnd(Subprocess::Options options) {
    return Subprocess::run(std::move(options), kBeyondCtest);
}

TEST(Subprocess, PassesArgumentsVerbatimAndReportsTheExitCode) {
    const auto printed = runToEnd(command({"printf", "%s|", "a b", "$HOME", "*", "", "'q'; ls"}));
    EXPECT_EQ(printed.out, "a b|$HOME|*||'q'; ls|");  // no shell, and found on the PATH
    EXPECT_TRUE(printed.status.succeeded());

    const auto failed = runToEnd(command({"/bin/sh", "-c", "exit 3"}));
    EXPECT_EQ(failed.status.code, 3);
    EXPECT_FALSE(failed.status.signal);
    EXPECT_FALSE(failed.timedOut);
}

TEST(Subprocess, LaunchFailuresNameTheProgramAndTheReason) {
    TempDir dir;
    std::ofstream(dir / "script.sh") << "echo should not run\n";  // no execute bit, even for root
    auto inMissingDirectory = command({"/bin/pwd"});
    inMissingDirectory.workingDirectory = "/no/such/directory";
    const struct {
        Subprocess::Options options;
        int code;
        std::string text;
    } cases[] = {
        {command({"/no/such/program"}), ENOENT,
         "cannot launch /no/such/program: No such file or directory"},
        {command({"nimbra-no-such-program"}), ENOENT, "No such file or directory"},
        {command({(dir / "script.sh").string()}), EACCES, "Permission denied"},
        {inMissingDirectory, ENOENT, "in /no/such/directory: No such file or directory"},
        {command({}), EINVAL, "empty command line"},
    };
    for (const auto& c : cases) {
        try {
            Subprocess::start(c.options);
            ADD_FAILURE() << "launched: " << c.text;
        } catch (const SubprocessError& error) {
            EXPECT_EQ(error.code(), c.code) << c.text;
            EXPECT_THAT(error.what(), HasSubstr(c.text));
        }
    }
}

TEST(Subprocess, OutputIsSeparateJoinedInWritingOrderOrDiscardedIntoWritableSinks) {
    const std::string script = "printf 1 && printf 2 >&2 && printf 3 && printf 4 >&2";
    const auto separate = runToEnd(command({"/bin/sh", "-c", script}));
    EXPECT_EQ(separate.out + "|" + separate.err, "13|24");
    const auto joined = runToEnd(command({"/bin/sh", "-c", script}, Output::joined));
    EXPECT_EQ(joined.out + "|" + joined.err, "1234|");
    // printf fails, and so does the script, if stdout or stderr is not open for writing.
    const auto discarded = runToEnd(command({"/bin/sh", "-c", script}, Output::discard));
    EXPECT_TRUE(discarded.status.succeeded());
    EXPECT_EQ(discarded.out + "|" + discarded.err, "|");
}

TEST(Subprocess, MoreThanAPipeBufferOnBothStreamsDoesNotDeadlock) {
    // Filling stderr first: a reader that only drained stdout would stall the child here.
    const auto both = runToEnd(command(
        {"/bin/sh", "-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero; echo end"}));
    EXPECT_FALSE(both.timedOut);
    EXPECT_EQ(both.err.size(), 1u << 20);
    EXPECT_EQ(both.out.size(), (1u << 20) + 4);
    EXPECT_TRUE(both.out.ends_with("end\n"));
}

TEST(Subprocess, StdinIsEmptyAndNoOtherDescriptorOfOursIsInherited) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const int saved = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    ::dup2(fds[0], STDIN_FILENO);
    const auto result = runToEnd(command({"/bin/cat"}));  // would wait for us forever
    ::dup2(saved, STDIN_FILENO);
    for (const int fd : {saved, fds[0], fds[1]}) ::close(fd);
    EXPECT_FALSE(result.timedOut);
    EXPECT_TRUE(result.status.succeeded());
    EXPECT_EQ(result.out, "");

    // A socket opened without close-on-exec would keep its port held for as long as the child
    // lives. The shell lists its own descriptors; the trailing ":" keeps it from becoming ls.
    const UniqueFd listener = testing::inheritableListener();
    EXPECT_EQ(runToEnd(command({"/bin/sh", "-c", "ls /proc/$$/fd; :"})).out, "0\n1\n2\n");
}

TEST(Subprocess, EnvironmentIsExactlyTheGivenOneOrOursAndTheDirectoryTheChosenOne) {
    auto options = command({"/usr/bin/env"});
    options.environment = std::vector<std::string>{"A=1", "SPACED=two words", "EMPTY="};
    EXPECT_EQ(runToEnd(options).out, "A=1\nSPACED=two words\nEMPTY=\n");
    options.environment = std::vector<std::string>{};
    EXPECT_EQ(runToEnd(options).out, "");
    testing::ScopedEnv probe("NIMBRA_SUBPROCESS_PROBE", "inherited value");
    EXPECT_THAT(runToEnd(command({"/usr/bin/env"})).out,
                HasSubstr("\nNIMBRA_SUBPROCESS_PROBE=inherited value\n"));

    TempDir dir;
    options = command({"/bin/pwd"});
    options.workingDirectory = dir.path();
    EXPECT_EQ(runToEnd(options).out, fs::canonical(dir.path()).string() + "\n");
    EXPECT_EQ(runToEnd(command({"/bin/pwd"})).out, fs::current_path().string() + "\n");
}

TEST(Subprocess, AKillOrATimeOutEndsTheChild) {
    auto child = Subprocess::start(command({"/bin/sleep", "600"}));
    EXPECT_FALSE(child.wait(50ms).has_value());
    EXPECT_TRUE(child.running());
    child.kill();
    const auto killed = child.wait(kBeyondCtest);
    ASSERT_TRUE(killed.has_value());
    EXPECT_EQ(killed->code, 128 + SIGKILL);
    EXPECT_EQ(killed->signal, SIGKILL);

    const auto overran = Subprocess::run(command({"/bin/sleep", "600"}), 100ms);
    EXPECT_TRUE(overran.timedOut);
    EXPECT_EQ(overran.status.signal, SIGKILL);
}

TEST(Subprocess, RunReturnsAtTheChildsExitWhileAHelperStillHoldsThePipe) {
    // The helper outlives any CTest limit: waiting for the pipe's end would time the test out.
    const auto result = runToEnd(command({"/bin/sh", "-c", "sleep 3600 & echo $!"}));
    EXPECT_FALSE(result.timedOut);
    ::kill(std::stoi(result.out), SIGKILL);
}

TEST(Subprocess, TheChildDoesNotInheritOurBlockedSignals) {
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, &previous);
    auto child = Subprocess::start(command({"/bin/sleep", "600"}));
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(kBeyondCtest).value_or(Subprocess::ExitStatus{}).signal, SIGTERM);
}

TEST(Subprocess, DestroyingOrReplacingTheObjectEndsAndReapsTheChild) {
    auto child = Subprocess::start(command({"/bin/sleep", "600"}));
    pid_t pid = child.pid();
    std::optional<Subprocess> moved(std::move(child));
    EXPECT_EQ(child.pid(), -1);
    EXPECT_EQ(moved->pid(), pid);
    moved.reset();
    EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH);  // reaped: not even a zombie

    auto replaced = Subprocess::start(command({"/bin/sleep", "600"}));
    pid = replaced.pid();
    replaced = Subprocess::start(command({"/bin/sh", "-c", "echo replacement"}));
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_TRUE(replaced.wait(kBeyondCtest)->succeeded());
    EXPECT_EQ(replaced.takeStdout(), "replacement\n");
}

}  // namespace
}  // namespace nimbra
