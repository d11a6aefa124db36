// The traffic monitor's counting rules, history, lifecycle and publication, driven tick by tick
// with a scripted counter source and a hand-moved clock; its own timer on a core runtime; and the
// texts the interface shows for its numbers.

#include "observe/network_traffic_monitor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "observe/traffic_formatting.hpp"
#include "support/run_until.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;
using std::chrono::system_clock;

// A counter source the test sets by hand. It records what it was asked and, for the timer
// test, grows by `step` after every read.
struct CounterScript {
    ByteCounts current, step;
    std::vector<std::optional<std::string>> asked;
};
struct ScriptedCounters final : ByteCounterSource {
    explicit ScriptedCounters(std::shared_ptr<CounterScript> s) : script(std::move(s)) {}
    ByteCounts sample(const std::optional<std::string>& interfaceName) override {
        script->asked.push_back(interfaceName);
        const ByteCounts& now = script->current;
        return std::exchange(script->current, {now.rx + script->step.rx, now.tx + script->step.tx});
    }
    std::shared_ptr<CounterScript> script;
};

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
    // Sets the counters, lets a second pass and ticks once.
    void tickWith(std::int64_t rx, std::int64_t tx) {
        script_->current = {rx, tx};
        now_ += 1s;
        monitor_.tick();
    }

    CoreRuntime runtime_{1};
    std::shared_ptr<CounterScript> script_ = std::make_shared<CounterScript>();
    system_clock::time_point now_ = system_clock::time_point(std::chrono::hours(480'000));
    NetworkTrafficMonitor monitor_{runtime_.executor(), std::make_unique<ScriptedCounters>(script_),
                                   1s, [this] { return now_; }};
};

// 24 samples a second apart, the newest at `newest`, each with its own id; the k-th oldest went
// down at firstDown + k * downStep and up at `up`.
void expectHistory(const std::vector<SpeedSample>& history, system_clock::time_point newest,
                   double firstDown, double downStep, double up) {
    ASSERT_EQ(history.size(), 24u);
    std::set<std::string> ids;
    for (std::size_t k = 0; k < history.size(); ++k) {
        EXPECT_EQ(history[k], (SpeedSample{history[k].id, firstDown + downStep * k, up,
                                           newest - std::chrono::seconds(23 - k)}));
        ids.insert(history[k].id);
    }
    EXPECT_EQ(ids.size(), 24u);
}

TEST_F(TrafficMonitorTest, CountsPublishesAndKeepsHistoryThroughWrapsRetargetsStopsAndResets) {
    constexpr std::int64_t kNearWrap = 4'294'967'000;  // a 32-bit counter 296 bytes from 2^32
    // An operation, the counters from then on, what the monitor shows after it and whether that
    // is a visible change, published to subscribers. A tick comes a second after the step
    // before; "wait" lets half a second pass.
    const std::tuple<std::string, ByteCounts, Counts, std::int64_t, bool> steps[] = {
        {"stop", {0, 0}, {0, 0, 0, 0}, 0, false},   // already idle
        {"start ", {0, 0}, {0, 0, 0, 0}, 0, true},  // an empty name is no target
        {"wait", {0, 0}, {0, 0, 0, 0}, 0, false},
        {"tick", {kNearWrap, 100}, {0, 0, 0, 0}, 1, true},  // a zero start reading voids the tick
        {"tick", {kNearWrap + 200, 200}, {200, 100, 200, 100}, 2, true},
        {"tick", {50, 300}, {0, 100, 200, 200}, 3, true},  // rx wrapped: only rx reads zero
        {"tick", {1'050, 400}, {1'000, 100, 1'200, 300}, 4, true},
        // While monitoring a name only retargets: no new base, speeds and uptime go on.
        {"start tun7", {1'050, 400}, {1'000, 100, 1'200, 300}, 4, false},
        {"start ", {1'050, 400}, {1'000, 100, 1'200, 300}, 4, false},
        {"start", {1'050, 400}, {1'000, 100, 1'200, 300}, 4, false},
        {"tick", {300, 2'000}, {0, 1'600, 1'200, 1'900}, 5, true},  // the new counter is lower
        {"tick", {700, 2'100}, {400, 100, 1'600, 2'000}, 6, true},
        // Stop zeroes the speeds only, and a stopped monitor does not read.
        {"stop", {9'000, 9'000}, {0, 0, 1'600, 2'000}, 6, true},
        {"tick", {50'000, 60'000}, {0, 0, 1'600, 2'000}, 6, false},
        // A restart reads a new base: what passed while stopped is not counted.
        {"start", {50'000, 60'000}, {0, 0, 1'600, 2'000}, 0, true},
        {"tick", {50'100, 60'010}, {100, 10, 1'700, 2'010}, 1, true},
        {"set back", {50'100, 60'010}, {0, 0, 1'700, 2'010}, 0, true},  // uptime never negative
        {"reset", {50'100, 60'010}, {0, 0, 0, 0}, 0, true},
    };
    std::vector<std::function<void()>> posted;  // the subscriber's own queue
    std::vector<TrafficSnapshotPtr> seen;
    const auto delivered = [&] {
        for (auto& work : std::exchange(posted, {})) work();
        return seen.size();
    };
    const auto id = monitor_.subscribe(
        [&](std::function<void()> work) { posted.push_back(std::move(work)); },
        [&](TrafficSnapshotPtr snapshot) { seen.push_back(std::move(snapshot)); });
    EXPECT_EQ(delivered(), 1u) << "the snapshot at hand";
    expectHistory(monitor_.state().speedHistory, now_ - 1s, 0, 0, 0);  // fresh: all zero
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto& [op, reading, shown, uptime, published] = steps[i];
        script_->current = reading;
        if (op == "tick" || op == "set back") {
            now_ += op == "tick" ? 1s : -10'000s;
            monitor_.tick();
        } else if (op == "wait") {
            now_ += 500ms;
        } else if (op == "stop" || op == "reset") {
            op == "stop" ? monitor_.stop() : monitor_.reset();
        } else {
            monitor_.start(op == "start" ? std::nullopt : std::optional(op.substr(6)));
        }
        const std::size_t before = seen.size();
        EXPECT_EQ(delivered() > before, published) << "step " << i << ": " << op;
        EXPECT_EQ(*seen.back(), monitor_.state()) << "step " << i << ": " << op;
        EXPECT_EQ(countsOf(monitor_), shown) << "step " << i << ": " << op;
        EXPECT_EQ(monitor_.state().uptimeSeconds, uptime) << "step " << i << ": " << op;
    }
    const std::optional<std::string> tunnel, tun7 = "tun7";
    EXPECT_EQ(script_->asked, (std::vector{tunnel, tunnel, tunnel, tunnel, tunnel, tun7, tun7,
                                           tunnel, tunnel, tunnel}));
    expectHistory(monitor_.state().speedHistory, now_ - 1s, 0, 0, 0);
    monitor_.unsubscribe(id);

    script_->current = {1'000, 1};
    monitor_.start();
    for (int i = 1; i <= 30; ++i) tickWith(1'000 + 50 * i * (i + 1), 1 + i);  // tick i: 100 * i
    expectHistory(monitor_.state().speedHistory, now_, 700, 100, 1);  // the last 24: 7 to 30
    EXPECT_TRUE(posted.empty()) << "delivered after unsubscribing";
}

TEST(TrafficMonitorTimer, TicksOnTheCoreRuntimeUntilStoppedResetOrDestroyed) {
    CoreRuntime runtime(1);
    auto script = std::make_shared<CounterScript>();
    *script = {.current = {1'000, 1'000}, .step = {300, 20}, .asked = {}};
    auto monitor = std::make_unique<NetworkTrafficMonitor>(
        runtime.executor(), std::make_unique<ScriptedCounters>(script), 20ms);
    monitor->start();
    std::size_t wanted = 5;  // reads, the first of them the base
    const auto readEnough = [&] { return script->asked.size() >= wanted; };
    ASSERT_TRUE(runUntil(runtime, readEnough, 60s));
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
        wanted = reads + 3;
        ASSERT_TRUE(runUntil(runtime, readEnough, 60s)) << "no ticks after a restart after " << how;
    }
}

// The texts the interface shows for traffic, at and around every unit boundary.
constexpr std::int64_t kKiB = 1024, kMiB = 1024 * kKiB, kGiB = 1024 * kMiB;
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();

TEST(TrafficFormatting, SpeedNeverNegativeBytesWithTwoDecimalsFromGibibytesUptimeWithoutDays) {
    // clang-format off
    const std::pair<double, std::pair<std::string, std::string>> speeds[] = {
        {0, {"0", "B/s"}}, {512.4, {"512", "B/s"}}, {1023, {"1023", "B/s"}},
        {-0.4, {"0", "B/s"}}, {-5.0 * kGiB, {"0", "B/s"}},
        {std::numeric_limits<double>::quiet_NaN(), {"0", "B/s"}},
        {1024, {"1.0", "KB/s"}}, {1536, {"1.5", "KB/s"}}, {kMiB - 1, {"1024.0", "KB/s"}},
        {kMiB, {"1.0", "MB/s"}}, {2.5 * kMiB, {"2.5", "MB/s"}}, {kGiB - 1, {"1024.0", "MB/s"}},
        {kGiB, {"1.0", "GB/s"}}, {3000.0 * kGiB, {"3000.0", "GB/s"}},
    };
    const std::pair<std::int64_t, std::string> bytes[] = {
        {0, "0 B"}, {1023, "1023 B"}, {-5, "-5 B"}, {kMin, "-9223372036854775808 B"},
        {1024, "1.0 KB"}, {1536, "1.5 KB"}, {kMiB - 1, "1024.0 KB"},
        {kMiB, "1.0 MB"}, {10 * kMiB + kMiB / 2, "10.5 MB"}, {kGiB - 1, "1024.0 MB"},
        {kGiB, "1.00 GB"}, {5 * kGiB + kGiB / 4, "5.25 GB"}, {kMax, "8589934592.00 GB"},
    };
    const std::pair<std::int64_t, std::string> uptimes[] = {
        {0, "00:00"}, {59, "00:59"}, {754, "12:34"}, {3599, "59:59"}, {3600, "01:00:00"},
        {3661, "01:01:01"}, {86399, "23:59:59"}, {100 * 3600 + 5, "100:00:05"},
        {-1, "00:00"}, {-3661, "00:00"},
    };
    // clang-format on
    for (const auto& [speed, expected] : speeds)
        EXPECT_EQ(traffic::formatSpeed(speed), expected) << speed;
    for (const auto& [count, expected] : bytes) EXPECT_EQ(traffic::formatBytes(count), expected);
    for (const auto& [seconds, expected] : uptimes)
        EXPECT_EQ(traffic::formatUptime(seconds), expected);
}

}  // namespace
}  // namespace nimbra
