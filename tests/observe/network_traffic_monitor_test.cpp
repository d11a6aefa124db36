// The traffic monitor's counting rules, history, lifecycle and publication, driven tick by tick
// with a scripted counter source and a hand-moved clock; plus its own timer on a core runtime.

#include "observe/network_traffic_monitor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "support/run_until.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;
using std::chrono::system_clock;

// A counter source the test sets by hand. It records what it was asked and, for the timer
// test, grows by `step` after every read.
struct ScriptedCounters final : ByteCounterSource {
    struct Script {
        ByteCounts current, step;
        std::vector<std::optional<std::string>> asked;
    };
    explicit ScriptedCounters(std::shared_ptr<Script> s) : script(std::move(s)) {}
    ByteCounts sample(const std::optional<std::string>& interfaceName) override {
        script->asked.push_back(interfaceName);
        const ByteCounts reading = script->current;
        script->current = {reading.rx + script->step.rx, reading.tx + script->step.tx};
        return reading;
    }
    std::shared_ptr<Script> script;
};
using CounterScript = ScriptedCounters::Script;

// Down and up speed, total rx and tx: what a tick leaves, compared in one go.
using Counts = std::tuple<double, double, std::int64_t, std::int64_t>;

Counts countsOf(const NetworkTrafficMonitor& monitor) {
    const TrafficSnapshot& state = monitor.state();
    return {state.downSpeed, state.upSpeed, state.totalRxBytes, state.totalTxBytes};
}

// A monitor on a core runtime that is not driven, so nothing ticks but the test, and whose
// clock only moves when the test moves it.
class TrafficMonitorTest : public ::testing::Test {
protected:
    void read(std::int64_t rx, std::int64_t tx) { script_->current = ByteCounts{rx, tx}; }

    // Sets the counters, lets a second pass and ticks once.
    void tickWith(std::int64_t rx, std::int64_t tx) {
        read(rx, tx);
        now_ += 1s;
        monitor_.tick();
    }

    Counts counts() const { return countsOf(monitor_); }

    CoreRuntime runtime_{1};
    std::shared_ptr<CounterScript> script_ = std::make_shared<CounterScript>();
    system_clock::time_point now_ = system_clock::time_point(std::chrono::hours(480'000));
    NetworkTrafficMonitor monitor_{runtime_.executor(), std::make_unique<ScriptedCounters>(script_),
                                   1s, [this] { return now_; }};
};

// 24 zero samples a second apart, the newest a second before `now`, each with its own id.
void expectZeroHistoryEndingAt(const std::vector<SpeedSample>& history,
                               system_clock::time_point now) {
    std::set<std::string> ids;
    for (std::size_t i = 0; i < history.size(); ++i) {
        EXPECT_EQ(history[i],
                  (SpeedSample{history[i].id, 0, 0, now - std::chrono::seconds(24 - i)}));
        ids.insert(history[i].id);
    }
    EXPECT_EQ(ids.size(), 24u);
}

TEST_F(TrafficMonitorTest, CountsTickByTickThroughWrapsRetargetsStopsAndResets) {
    constexpr std::int64_t kNearWrap = 4'294'967'000;  // a 32-bit counter 296 bytes from 2^32
    // An operation, the counters from then on, and what the monitor shows after it. A tick
    // comes a second after the step before; "wait" lets half a second pass.
    const struct {
        std::string op;
        ByteCounts reading;
        Counts shown;
        std::int64_t uptime;
    } steps[] = {
        {"start ", {0, 0}, {0, 0, 0, 0}, 0},  // an empty name is no target
        {"wait", {0, 0}, {0, 0, 0, 0}, 0},
        {"tick", {kNearWrap, 100}, {0, 0, 0, 0}, 1},  // a zero start reading voids the tick
        {"tick", {kNearWrap + 200, 200}, {200, 100, 200, 100}, 2},
        {"tick", {50, 300}, {0, 100, 200, 200}, 3},  // rx wrapped: only rx reads zero
        {"tick", {1'050, 400}, {1'000, 100, 1'200, 300}, 4},
        // While monitoring a name only retargets: no new base, speeds and uptime go on.
        {"start tun7", {1'050, 400}, {1'000, 100, 1'200, 300}, 4},
        {"start ", {1'050, 400}, {1'000, 100, 1'200, 300}, 4},
        {"start", {1'050, 400}, {1'000, 100, 1'200, 300}, 4},
        {"tick", {300, 2'000}, {0, 1'600, 1'200, 1'900}, 5},  // the new counter is lower
        {"tick", {700, 2'100}, {400, 100, 1'600, 2'000}, 6},
        // Stop zeroes the speeds only, and a stopped monitor does not read.
        {"stop", {9'000, 9'000}, {0, 0, 1'600, 2'000}, 6},
        {"tick", {50'000, 60'000}, {0, 0, 1'600, 2'000}, 6},
        // A restart reads a new base: what passed while stopped is not counted.
        {"start", {50'000, 60'000}, {0, 0, 1'600, 2'000}, 0},
        {"tick", {50'100, 60'010}, {100, 10, 1'700, 2'010}, 1},
        {"set back", {50'100, 60'010}, {0, 0, 1'700, 2'010}, 0},  // uptime never negative
        {"reset", {50'100, 60'010}, {0, 0, 0, 0}, 0},
    };
    expectZeroHistoryEndingAt(monitor_.state().speedHistory, now_);  // fresh
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto& step = steps[i];
        script_->current = step.reading;
        if (step.op == "tick" || step.op == "set back") {
            now_ += step.op == "tick" ? 1s : -10'000s;
            monitor_.tick();
        } else if (step.op == "wait") {
            now_ += 500ms;
        } else if (step.op == "stop" || step.op == "reset") {
            step.op == "stop" ? monitor_.stop() : monitor_.reset();
        } else {
            monitor_.start(step.op == "start" ? std::nullopt : std::optional(step.op.substr(6)));
        }
        EXPECT_EQ(counts(), step.shown) << "step " << i << ": " << step.op;
        EXPECT_EQ(monitor_.state().uptimeSeconds, step.uptime) << "step " << i << ": " << step.op;
    }
    const std::optional<std::string> tunnel, tun7 = "tun7";
    EXPECT_EQ(script_->asked, (std::vector{tunnel, tunnel, tunnel, tunnel, tunnel, tun7, tun7,
                                           tunnel, tunnel, tunnel}));
    expectZeroHistoryEndingAt(monitor_.state().speedHistory, now_);
}

TEST_F(TrafficMonitorTest, EachTickIsTheDeltaSinceTheLastReadingKeptForTwentyFourTicks) {
    read(1'000, 1);
    monitor_.start();
    EXPECT_EQ(script_->asked.size(), 1u) << "start reads the base once";
    std::int64_t rx = 1'000;
    for (int i = 1; i <= 30; ++i) {
        rx += 100 * i;
        tickWith(rx, 1 + i);
        ASSERT_EQ(counts(), Counts(100 * i, 1, rx - 1'000, i)) << "tick " << i;
    }
    const auto& history = monitor_.state().speedHistory;
    ASSERT_EQ(history.size(), 24u);
    for (std::size_t k = 0; k < history.size(); ++k) {
        const int tick = 7 + static_cast<int>(k);  // ticks 7..30 survive, newest last
        EXPECT_EQ(history[k], (SpeedSample{history[k].id, 100.0 * tick, 1,
                                           now_ - std::chrono::seconds(23 - k)}));
    }
}

TEST_F(TrafficMonitorTest, PublishesEachVisibleChangeThroughTheSubscribersPosterUntilUnsubscribed) {
    std::vector<std::function<void()>> posted;  // the subscriber's own queue
    std::vector<TrafficSnapshotPtr> seen;
    const auto delivered = [&] {
        for (auto& work : std::exchange(posted, {})) work();
        return seen.size();
    };
    const auto id = monitor_.subscribe(
        [&](std::function<void()> work) { posted.push_back(std::move(work)); },
        [&](TrafficSnapshotPtr snapshot) { seen.push_back(std::move(snapshot)); });
    monitor_.stop();  // already idle: nothing visible changes
    read(100, 100);
    monitor_.start();
    monitor_.start("tun1");  // retargeting is not visible either
    tickWith(400, 100);
    EXPECT_TRUE(seen.empty()) << "deliveries go through the poster only";

    ASSERT_EQ(delivered(), 3u) << "the current snapshot, then one per visible change";
    EXPECT_FALSE(seen[0]->isMonitoring);
    EXPECT_TRUE(seen[1]->isMonitoring);
    EXPECT_EQ(seen[1]->totalRxBytes, 0) << "earlier snapshots are immutable copies";
    EXPECT_EQ(*seen[2], monitor_.state());
    EXPECT_EQ(seen[2]->downSpeed, 300);

    monitor_.unsubscribe(id);
    tickWith(2'000, 2'000);
    EXPECT_EQ(delivered(), 3u);
}

TEST(TrafficMonitorTimer, TicksOnTheCoreRuntimeUntilStoppedResetOrDestroyed) {
    CoreRuntime runtime(1);
    auto script = std::make_shared<CounterScript>();
    script->current = ByteCounts{1'000, 1'000};
    script->step = ByteCounts{300, 20};
    auto monitor = std::make_unique<NetworkTrafficMonitor>(
        runtime.executor(), std::make_unique<ScriptedCounters>(script), 20ms);
    monitor->start();

    ASSERT_TRUE(runUntil(
        runtime, [&] { return script->asked.size() >= 5; }, 60s));
    EXPECT_EQ(countsOf(*monitor), Counts(300, 20, 4 * 300, 4 * 20));

    for (const std::string how : {"stop", "reset", "destruction"}) {
        if (how == "stop") monitor->stop();
        if (how == "reset") monitor->reset();
        if (how == "destruction") monitor.reset();  // a tick is pending on the core loop
        const auto reads = script->asked.size();
        runFor(runtime, 100ms);
        EXPECT_EQ(script->asked.size(), reads) << "ticked after " << how;
        if (!monitor) break;
        monitor->start();
        ASSERT_TRUE(runUntil(
            runtime, [&] { return script->asked.size() >= reads + 3; }, 60s))
            << "a monitor restarted after " << how << " ticks again";
    }
}

}  // namespace
}  // namespace nimbra
