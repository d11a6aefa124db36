#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/snapshot_publisher.hpp"
#include "model/timings.hpp"
#include "observe/byte_counter_source.hpp"
#include "observe/traffic_snapshot.hpp"

namespace nimbra {

// Measures the tunnel's throughput once per interval (a second in the product) from a byte
// counter source and publishes speeds, totals, uptime and the last 24 samples.
//
// It lives on the core thread: construct it there with the core executor and call every
// operation there. Reading the counters can block (a socket-diagnostics dump), so every read runs
// on the sampling pool and its result is applied back on the core thread. One read at a time:
// the next tick is timed from the end of the read before it, so a slow read delays the ticks
// instead of piling reads up. The controller starts it after a successful connect, stops or
// resets it when a connect fails and resets it on disconnect.
//
// The timer runs only while the figures are watched (setWatched): a monitor nobody watches reads
// once at start (the base) and then sleeps, so a hidden window wakes nothing every second.
class NetworkTrafficMonitor {
public:
    static constexpr std::size_t kMaxHistoryLength = 24;

    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using Poster = std::function<void(std::function<void()>)>;
    using SnapshotHandler = std::function<void(TrafficSnapshotPtr)>;

    // `samplingPool` runs the counter reads and must outlive them (drain it before letting it
    // go); the monitor itself may go while a read runs. `now` is the wall clock for sample times
    // and uptime; tests pass their own.
    NetworkTrafficMonitor(asio::any_io_executor executor, asio::thread_pool& samplingPool,
                          std::unique_ptr<ByteCounterSource> source,
                          std::chrono::milliseconds interval = Timings::standard().trafficSample,
                          Clock now = {});
    ~NetworkTrafficMonitor();
    NetworkTrafficMonitor(const NetworkTrafficMonitor&) = delete;
    NetworkTrafficMonitor& operator=(const NetworkTrafficMonitor&) = delete;

    // ---- published state -------------------------------------------------------------------
    const TrafficSnapshot& state() const { return state_; }
    bool isMonitoring() const { return state_.isMonitoring; }
    // The interface being measured; none means the tunnel as a whole.
    const std::optional<std::string>& targetInterface() const { return targetIface_; }
    // Whether a counter read is out on the sampling pool (also one of a run that has ended).
    bool sampling() const { return reading_; }

    // Delivers the current snapshot, then one after every change. `post` moves each delivery
    // onto the subscriber's own thread (use the runtime's post for core-thread subscribers).
    uint64_t subscribe(Poster post, SnapshotHandler handler);
    void unsubscribe(uint64_t subscription);

    // ---- operations ------------------------------------------------------------------------
    // Begins monitoring `tunIface` (none or empty: the tunnel as a whole) and reads the counters
    // at once as the base of the first tick, so the bytes of the first interval count; when a
    // read of an ended run is still out, the base is read as soon as it returns. While
    // monitoring, a new non-empty name only retargets (timer, totals and uptime go on; the new
    // interface's first reading is a fresh base) and any other changes nothing.
    void start(std::optional<std::string> tunIface = std::nullopt);
    // Ends monitoring and zeroes the speeds; totals, uptime and history stay. A read still out
    // is dropped when it returns.
    void stop();
    // stop(), then zeroes totals and uptime and refills the history with zero samples.
    void reset();
    // Starts one measurement now; the timer calls it every interval. Does nothing unless
    // monitoring, or while a read is out.
    void tick();
    // Whether anyone shows the figures (off at first). Unwatched, no tick is timed; watched
    // again while monitoring, it reads at once and ticks on. The bytes that passed meanwhile go
    // into the totals, but not into a speed or the history: they took longer than one tick.
    void setWatched(bool watched);
    bool watched() const { return watched_; }

    // 24 zero samples dated now - 24 s, now - 23 s, ..., now - 1 s.
    static std::vector<SpeedSample> zeroHistory(std::chrono::system_clock::time_point now);

private:
    void retarget(std::string tunIface);
    void read();
    void readDone(uint64_t generation, std::exception_ptr error, const ByteCounts& raw);
    void takeBase(const ByteCounts& raw);
    void apply(const ByteCounts& raw);
    void scheduleTick();
    void publish();

    asio::steady_timer timer_;
    asio::thread_pool& pool_;
    // Shared with the read on the pool, which may outlive the monitor.
    std::shared_ptr<ByteCounterSource> source_;
    std::chrono::milliseconds interval_;
    Clock now_;

    TrafficSnapshot state_;
    SnapshotPublisher<TrafficSnapshot> publisher_{TrafficSnapshot{}};

    std::optional<std::chrono::system_clock::time_point> startTime_;
    // The previous readings the next ones are compared with; none when a counter has no usable
    // base (it fell to zero, which is what a source that cannot read returns).
    bool baseTaken_ = false;
    std::optional<std::int64_t> lastRawRx_;
    std::optional<std::int64_t> lastRawTx_;
    std::optional<std::string> targetIface_;

    // Timer and read completions hold this weakly: a gone monitor ends the chain. A read whose
    // run was stopped since it began (the run generation moved on) is dropped, as is a timer
    // wait that was replaced or stopped (the timer generation moved on).
    std::chrono::steady_clock::time_point nextTick_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    uint64_t runGeneration_ = 0;
    uint64_t timerGeneration_ = 0;
    bool reading_ = false;
    bool watched_ = false;
    // The next reading closes an unwatched stretch: totals only (see setWatched).
    bool catchUp_ = false;
};

}  // namespace nimbra
