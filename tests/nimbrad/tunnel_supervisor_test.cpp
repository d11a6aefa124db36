// usque supervised: ready only on its connected line, restarted with back-off when it ends,
// ended for good by stop() even when it ignores SIGTERM.

#include "nimbrad/tunnel_supervisor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "base/atomic_file.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

class TunnelSupervisorTest : public ::testing::Test {
protected:
    std::unique_ptr<TunnelSupervisor> supervise(const std::string& script,
                                                const std::string& shell = "/bin/sh") {
        TunnelSupervisor::Options options;
        options.argv = {shell, "-c", script};
        options.firstBackoff = 10ms;
        options.maxBackoff = 40ms;
        options.stopGrace = 200ms;
        return std::make_unique<TunnelSupervisor>(
            strand, options,
            TunnelSupervisor::Events{[this] { events.push_back("connected"); },
                                     [this](const std::string& why) { events.push_back(why); }});
    }
    bool runUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 3000 && !done(); ++i) {
            io.restart();
            io.run_for(10ms);
        }
        return done();
    }
    void endRunningChild(const TunnelSupervisor& supervisor) {
        const pid_t pid = supervisor.pid();
        ASSERT_GT(pid, 0);
        ::kill(-pid, SIGKILL);
    }

    asio::io_context io;
    asio::strand<asio::io_context::executor_type> strand = asio::make_strand(io);
    std::vector<std::string> events;
};

// Ready only on usque's connected line (the tunnel line alone is not), not connected again after
// a lost connection until usque says so, and restarted when it ends.
TEST_F(TunnelSupervisorTest, ConnectedOnlyWhileUsqueSaysSoAndRestartedWhenItEnds) {
    auto supervisor = supervise(
        "echo 'Tunnel established, wait for IP...'; sleep 0.05; "
        "echo 'Connected to MASQUE server'; sleep 0.05; "
        "echo 'Tunnel connection lost: timeout: no recent network activity. Reconnecting...'; "
        "sleep 0.2; echo 'Connected to MASQUE server'; sleep 0.05; exit 3");
    supervisor->start();
    ASSERT_TRUE(runUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events[0], "connected");
    EXPECT_FALSE(supervisor->connected());
    ASSERT_TRUE(runUntil([&] { return events.size() >= 3; }));
    EXPECT_TRUE(supervisor->connected());
    EXPECT_EQ(supervisor->restarts(), 0u);
    ASSERT_TRUE(runUntil([&] { return supervisor->restarts() >= 1 && supervisor->connected(); }));
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(events[3], "usque exited with status 3");
    EXPECT_EQ(events[4], "connected");

    supervisor->stop();
    EXPECT_FALSE(supervisor->connected());
    const auto seen = events.size();
    io.restart();
    io.run_for(100ms);
    EXPECT_EQ(events.size(), seen) << "no restart after stop()";
    EXPECT_EQ(supervisor->pid(), -1);
}

TEST_F(TunnelSupervisorTest, StopKillsAUsqueThatIgnoresSigterm) {
    auto supervisor = supervise(
        "trap '' TERM; echo 'Connected to MASQUE server'; "
        "while :; do sleep 0.01; done");
    supervisor->start();
    ASSERT_TRUE(runUntil([&] { return supervisor->connected(); }));
    const pid_t pid = supervisor->pid();
    ASSERT_GT(pid, 0);
    supervisor->stop();
    EXPECT_EQ(::kill(pid, 0), -1) << "reaped, not only signalled";
}

// usque's path may lead somewhere else by the time it is started again: every relaunch checks
// the program anew and runs only one that passed. A program that cannot run, or a link that
// anyone may re-point (fine today), is refused at the first start already.
TEST_F(TunnelSupervisorTest, EveryLaunchRunsOnlyACheckedProgram) {
    const testing::TempDir trusted;
    const testing::TempDir everyones;
    ::chmod(everyones.path().c_str(), 0777);
    const auto marker = everyones / "ran";
    writeFileAtomically(everyones / "usque", "#!/bin/sh\ntouch " + marker.string() + "\n");
    ::chmod((everyones / "usque").c_str(), 0755);
    const auto link = trusted / "usque";
    fs::create_symlink("/bin/sh", link);

    auto supervisor =
        supervise("echo 'Connected to MASQUE server'; while :; do sleep 1; done", link.string());
    supervisor->start();
    ASSERT_TRUE(runUntil([&] { return supervisor->connected(); }));
    endRunningChild(*supervisor);
    ASSERT_TRUE(runUntil([&] { return supervisor->restarts() == 1 && supervisor->connected(); }));

    fs::create_symlink(everyones / "usque", trusted / "swapped");
    fs::rename(trusted / "swapped", link);
    endRunningChild(*supervisor);
    ASSERT_TRUE(runUntil([&] { return supervisor->restarts() >= 3; }));
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_THAT(events.back(), HasSubstr(everyones.path().string() + " is writable by others"));
    supervisor->stop();

    fs::create_symlink("/bin/sh", everyones / "sh");
    for (const fs::path& program : {fs::path("/nonexistent/usque"), everyones / "sh"}) {
        TunnelSupervisor::Options options;
        options.argv = {program.string()};
        TunnelSupervisor refused(strand, options, {});
        EXPECT_ANY_THROW(refused.start()) << program;
        EXPECT_FALSE(refused.supervising());
    }
}

}  // namespace
}  // namespace nimbra::nimbrad
