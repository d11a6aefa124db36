// The resume watcher on a private bus that stands in for the system bus, with logind's signal
// sent by dbus-send: a wake-up calls back, going to sleep does not, stop() silences it, and no
// bus leaves it off.

#include "observe/resume_watcher.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/async/core_runtime.hpp"
#include "base/subprocess.hpp"
#include "support/private_dbus_session.hpp"
#include "support/run_until.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;

constexpr auto kPatience = 20s;

class ResumeWatcherTest : public ::testing::Test {
protected:
    void prepareForSleep(bool goingToSleep) {
        Subprocess::Options options;
        options.argv = {"dbus-send",
                        "--bus=" + bus_.address(),
                        "--type=signal",
                        "/org/freedesktop/login1",
                        "org.freedesktop.login1.Manager.PrepareForSleep",
                        goingToSleep ? "boolean:true" : "boolean:false"};
        const auto result = Subprocess::run(std::move(options), 10s);
        ASSERT_TRUE(result.status.succeeded()) << result.err;
    }

    void startListening(ResumeWatcher& watcher) {
        watcher.start();
        // The signal is heard only once the bus has taken the subscription.
        ASSERT_TRUE(runUntil(
            runtime_, [&] { return watcher.listening(); }, kPatience))
            << bus_.stop();
    }

    // Signals arrive in order: once `count` callbacks came, one for an earlier signal that must
    // not call back would have come too.
    void expectCallsSettleAt(int count) {
        ASSERT_TRUE(runUntil(
            runtime_, [&] { return calls_ >= count; }, kPatience));
        runFor(runtime_, 300ms);
        EXPECT_EQ(calls_, count);
    }

    nimbra::testing::TempDir dir_;
    nimbra::testing::PrivateDbusSession bus_{dir_ / "dbus"};
    nimbra::testing::ScopedEnv system_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.address()};
    CoreRuntime runtime_{1};
    int calls_ = 0;
    ResumeWatcher watcher_{runtime_.executor(), [this] { ++calls_; }};
};

TEST_F(ResumeWatcherTest, CallsBackOnWakingNotOnGoingToSleepAndOnlyWhileListening) {
    startListening(watcher_);
    for (bool goingToSleep : {true, false, false}) prepareForSleep(goingToSleep);
    expectCallsSettleAt(2);

    watcher_.stop();
    EXPECT_FALSE(watcher_.listening());
    prepareForSleep(false);
    runFor(runtime_, 500ms);
    EXPECT_EQ(calls_, 2);

    startListening(watcher_);
    prepareForSleep(false);
    expectCallsSettleAt(3);
}

TEST_F(ResumeWatcherTest, StopFromTheCallbackEndsItCleanly) {
    ResumeWatcher* self = nullptr;
    ResumeWatcher watcher(runtime_.executor(), [&] {
        ++calls_;
        self->stop();
    });
    self = &watcher;
    startListening(watcher);
    prepareForSleep(false);
    prepareForSleep(false);
    expectCallsSettleAt(1);
    EXPECT_FALSE(watcher.listening());
}

TEST(ResumeWatcher, WithoutABusStaysOffAndQuiet) {
    const nimbra::testing::TempDir dir;
    const nimbra::testing::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS",
                                            "unix:path=" + (dir / "no-bus").string());
    CoreRuntime runtime(1);
    int calls = 0;
    ResumeWatcher watcher(runtime.executor(), [&] { ++calls; });
    ::testing::internal::CaptureStderr();
    watcher.start();
    runFor(runtime, 300ms);
    const std::string logged = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(watcher.listening());
    EXPECT_EQ(calls, 0);
    EXPECT_NE(logged.find("[resume-watch] cannot reach the system bus"), std::string::npos)
        << logged;
}

}  // namespace
}  // namespace nimbra
