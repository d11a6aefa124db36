#include "engine/process_control.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "engine/process_table.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

constexpr auto kPatience = 3s;

std::chrono::milliseconds elapsedSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// `sleep 30`, which ends on SIGTERM like most programs.
Subprocess startCooperative() {
    Subprocess::Options options;
    options.argv = {"sleep", "30"};
    options.output = Subprocess::Output::discard;
    return Subprocess::start(std::move(options));
}

// A child that ignores SIGTERM. It says "ready" once the signal is ignored, so the test never
// races the shell's start-up; exec keeps it one process (the ignored signal carries over).
Subprocess startStubborn() {
    Subprocess::Options options;
    options.argv = {"/bin/sh", "-c", "trap '' TERM; echo ready; exec sleep 30"};
    Subprocess child = Subprocess::start(std::move(options));
    UniqueFd out(child.releaseStdout());
    std::string said;
    const auto deadline = Clock::now() + kPatience;
    while (said.find("ready") == std::string::npos && Clock::now() < deadline) {
        pollfd readable{out.get(), POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) continue;
        char buffer[64];
        const ssize_t n = ::read(out.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        said.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_THAT(said, HasSubstr("ready"));
    return child;
}

TEST(ProcessControlTerminate, CooperativeChildEndsWithoutWaitingForItsParent) {
    Subprocess child = startCooperative();
    ASSERT_FALSE(process_control::isGone(child.pid()));

    const auto start = Clock::now();
    process_control::terminatePid(child.pid());
    // The child stays a zombie until we reap it below; it still counts as gone.
    EXPECT_LT(elapsedSince(start), 500ms);
    EXPECT_TRUE(process_control::isGone(child.pid()));

    const auto status = child.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->signal, SIGTERM);
}

TEST(ProcessControlTerminate, ChildIgnoringSigtermIsKilledAfterASecond) {
    Subprocess child = startStubborn();

    const auto start = Clock::now();
    process_control::terminatePid(child.pid());
    const auto took = elapsedSince(start);
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 2s);

    const auto status = child.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->signal, SIGKILL);
}

TEST(ProcessControlTerminate, PollIntervalSetsThePace) {
    Subprocess child = startStubborn();

    const auto start = Clock::now();
    process_control::terminatePid(child.pid(), 5ms);
    EXPECT_LT(elapsedSince(start), 800ms);

    const auto status = child.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->signal, SIGKILL);
}

TEST(ProcessControlTerminate, ProcessThatIsGoneReturnsAtOnce) {
    Subprocess child = startCooperative();
    const pid_t pid = child.pid();
    child.kill();
    ASSERT_TRUE(child.wait(kPatience));  // reaped: the pid no longer exists

    EXPECT_TRUE(process_control::isGone(pid));
    const auto start = Clock::now();
    process_control::terminatePid(pid);
    EXPECT_LT(elapsedSince(start), 100ms);
}

// ---------------------------------------------------------------------------------------------

// Answers "4242 listens" a given number of times, then "nobody".
class ScriptedTable : public ProcessTable {
public:
    explicit ScriptedTable(int busyAnswers) : busyAnswers_(busyAnswers) {}

    std::vector<pid_t> listenerPids(int port) override {
        lastPort = port;
        if (++calls <= busyAnswers_) return {4242};
        return {};
    }
    std::string processArgs(pid_t) override { return ""; }
    std::string listenerSnapshot(int) override { return "(none)"; }

    std::atomic<int> calls = 0;
    std::atomic<int> lastPort = 0;

private:
    const int busyAnswers_;
};

class Ipv4Listener {
public:
    Ipv4Listener() {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd.get(), 4) != 0 ||
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        fd_ = std::move(fd);
    }

    bool valid() const { return fd_.valid(); }
    int port() const { return port_; }
    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
    int port_ = 0;
};

TEST(ProcessControlPortWait, ReturnsOnceNobodyListens) {
    ScriptedTable table(3);
    const auto start = Clock::now();
    process_control::waitUntilPortFree(table, 8080, 5s, 10ms);
    EXPECT_LT(elapsedSince(start), 1s);
    EXPECT_EQ(table.calls, 4);
    EXPECT_EQ(table.lastPort, 8080);
}

TEST(ProcessControlPortWait, WaitsTheWholeTimeOutWhileSomeoneListens) {
    ScriptedTable table(1'000'000);
    const auto start = Clock::now();
    process_control::waitUntilPortFree(table, 8080, 200ms);
    const auto took = elapsedSince(start);
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 700ms);
    EXPECT_GE(table.calls, 3);
}

TEST(ProcessControlPortWait, ZeroTimeOutDoesNotWait) {
    ScriptedTable table(1'000'000);
    const auto start = Clock::now();
    process_control::waitUntilPortFree(table, 8080, 0ms);
    EXPECT_LT(elapsedSince(start), 50ms);
}

TEST(ProcessControlPortWait, ReturnsEarlyWhenARealListenerCloses) {
    Ipv4Listener listener;
    ASSERT_TRUE(listener.valid()) << std::strerror(errno);
    std::thread closer([&] {
        std::this_thread::sleep_for(150ms);
        listener.close();
    });
    const auto start = Clock::now();
    process_control::waitUntilPortFree(ProcessTable::system(), listener.port(), kPatience);
    const auto took = elapsedSince(start);
    closer.join();
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 2s);
}

TEST(ProcessControlPortWait, WaitsTheWholeTimeOutForARealListener) {
    Ipv4Listener listener;
    ASSERT_TRUE(listener.valid()) << std::strerror(errno);
    const auto start = Clock::now();
    process_control::waitUntilPortFree(ProcessTable::system(), listener.port(), 300ms);
    EXPECT_GE(elapsedSince(start), 300ms);
}

// ---------------------------------------------------------------------------------------------

TEST(ProcessControlWhich, FindsAShell) {
    const auto path = process_control::which("sh");
    ASSERT_TRUE(path);
    EXPECT_TRUE(fs::path(*path).is_absolute()) << *path;
    EXPECT_EQ(fs::path(*path).filename(), "sh");
    EXPECT_TRUE(fs::exists(*path)) << *path;
}

TEST(ProcessControlWhich, MissesAProgramThatDoesNotExist) {
    EXPECT_EQ(process_control::which("no-such-tool-xyz"), std::nullopt);
}

TEST(ProcessControlWhich, TakesTheToolsTrimmedOutput) {
    EXPECT_EQ(process_control::which("usque", "/bin/echo"), "usque");
    EXPECT_EQ(process_control::which("usque", "/bin/true"), std::nullopt);   // says nothing
    EXPECT_EQ(process_control::which("usque", "/bin/false"), std::nullopt);  // fails
    EXPECT_EQ(process_control::which("sh", "/no/such/which"), std::nullopt);
}

TEST(ProcessControlUsque, RecognisesUsqueCommandLines) {
    EXPECT_TRUE(process_control::commandLineMentionsUsque("/opt/nimbra/usque socks -p 8080"));
    EXPECT_TRUE(process_control::commandLineMentionsUsque("/Applications/Nimbra.app/USQUE"));
    EXPECT_FALSE(process_control::commandLineMentionsUsque("/usr/bin/python3 -m http.server"));
    EXPECT_FALSE(process_control::commandLineMentionsUsque(""));
}

}  // namespace
}  // namespace nimbra
