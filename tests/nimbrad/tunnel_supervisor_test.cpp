// usque supervised: ready only on its connected line, restarted with back-off when it ends,
// ended for good by stop() even when it ignores SIGTERM.

#include "nimbrad/tunnel_supervisor.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

namespace nimbra::nimbrad {
namespace {

using namespace std::chrono_literals;

class TunnelSupervisorTest : public ::testing::Test {
protected:
    std::unique_ptr<TunnelSupervisor> supervise(const std::string& script) {
        TunnelSupervisor::Options options;
        options.argv = {"/bin/sh", "-c", script};
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

    asio::io_context io;
    asio::strand<asio::io_context::executor_type> strand = asio::make_strand(io);
    std::vector<std::string> events;
};

TEST_F(TunnelSupervisorTest, ReadyOnlyOnTheConnectedLineAndRestartedWhenItEnds) {
    auto supervisor = supervise(
        "echo 'Tunnel established, wait for IP...'; sleep 0.05; "
        "echo 'Connected to MASQUE server'; sleep 0.05; exit 3");
    supervisor->start();
    ASSERT_TRUE(runUntil([&] { return supervisor->restarts() >= 1 && supervisor->connected(); }));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0], "connected") << "the tunnel line alone is not ready";
    EXPECT_EQ(events[1], "usque exited with status 3");
    EXPECT_EQ(events[2], "connected");

    supervisor->stop();
    EXPECT_FALSE(supervisor->connected());
    const auto seen = events.size();
    io.restart();
    io.run_for(100ms);
    EXPECT_EQ(events.size(), seen) << "no restart after stop()";
    EXPECT_EQ(supervisor->pid(), -1);
}

TEST_F(TunnelSupervisorTest, ALostConnectionIsNotConnectedUntilUsqueSaysSoAgain) {
    auto supervisor = supervise(
        "echo 'Connected to MASQUE server'; sleep 0.05; "
        "echo 'Tunnel connection lost: timeout: no recent network activity. Reconnecting...'; "
        "sleep 0.2; echo 'Connected to MASQUE server'; sleep 30");
    supervisor->start();
    ASSERT_TRUE(runUntil([&] { return events.size() >= 2; }));
    EXPECT_FALSE(supervisor->connected());
    ASSERT_TRUE(runUntil([&] { return events.size() >= 3; }));
    EXPECT_TRUE(supervisor->connected());
    EXPECT_EQ(supervisor->restarts(), 0u);
    supervisor->stop();
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

TEST_F(TunnelSupervisorTest, AProgramThatCannotRunIsRefusedAtStart) {
    TunnelSupervisor::Options options;
    options.argv = {"/nonexistent/usque"};
    TunnelSupervisor supervisor(strand, options, {});
    EXPECT_ANY_THROW(supervisor.start());
    EXPECT_FALSE(supervisor.supervising());
}

}  // namespace
}  // namespace nimbra::nimbrad
