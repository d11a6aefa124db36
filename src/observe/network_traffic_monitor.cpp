#include "observe/network_traffic_monitor.hpp"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <exception>
#include <utility>

#include "base/async/await_blocking.hpp"
#include "model/app_rule_item.hpp"

namespace nimbra {

using std::chrono::system_clock;

namespace {

// One read of the counters on the pool. The read owns a share of the source, so a monitor that
// goes meanwhile leaves nothing behind that the read still touches.
asio::awaitable<ByteCounts> readCounters(asio::thread_pool& pool,
                                         std::shared_ptr<ByteCounterSource> source,
                                         std::optional<std::string> target) {
    const auto sample = [source = std::move(source), target = std::move(target)] {
        return source->sample(target);
    };
    co_return co_await awaitBlocking(pool, sample);
}

// The bytes a counter moved since the previous reading. A counter that went backwards (a 32-bit
// wrap, an interface that came back, a new target) gives a zero sample rather than a negative or
// huge one; so does a counter without a base.
std::int64_t deltaOf(std::optional<std::int64_t> previous, std::int64_t current) {
    return previous && current >= *previous ? current - *previous : 0;
}

// What the next reading of a counter is compared with. Zero is a base only while the counter has
// read zero ever since the start (a fresh connection count, no traffic yet); a counter that falls
// to zero later is a source that could not read, and comparing the next reading with it would
// count the whole counter as one interval's traffic.
std::optional<std::int64_t> baseAfter(std::optional<std::int64_t> previous, std::int64_t current) {
    if (current == 0 && previous != std::optional<std::int64_t>(0)) return std::nullopt;
    return current;
}

}  // namespace

NetworkTrafficMonitor::NetworkTrafficMonitor(asio::any_io_executor executor,
                                             asio::thread_pool& samplingPool,
                                             std::unique_ptr<ByteCounterSource> source,
                                             std::chrono::milliseconds interval, Clock now)
    : timer_(std::move(executor)),
      pool_(samplingPool),
      source_(std::move(source)),
      interval_(interval > std::chrono::milliseconds::zero() ? interval
                                                             : Timings::standard().trafficSample),
      now_(now ? std::move(now) : Clock([] { return system_clock::now(); })) {
    state_.speedHistory = zeroHistory(now_());
    publisher_ = SnapshotPublisher<TrafficSnapshot>(state_);
}

NetworkTrafficMonitor::~NetworkTrafficMonitor() {
    alive_.reset();
    timer_.cancel();
}

std::vector<SpeedSample> NetworkTrafficMonitor::zeroHistory(system_clock::time_point now) {
    std::vector<SpeedSample> history;
    history.reserve(kMaxHistoryLength);
    for (std::size_t back = kMaxHistoryLength; back > 0; --back) {
        history.push_back(
            SpeedSample{newUuid(), 0, 0, now - std::chrono::seconds(static_cast<long long>(back))});
    }
    return history;
}

// ---- publishing ------------------------------------------------------------------------------

void NetworkTrafficMonitor::publish() {
    publisher_.publish(state_);
}

uint64_t NetworkTrafficMonitor::subscribe(Poster post, SnapshotHandler handler) {
    return publisher_.subscribe(std::move(post), std::move(handler));
}

void NetworkTrafficMonitor::unsubscribe(uint64_t subscription) {
    publisher_.unsubscribe(subscription);
}

// ---- operations ------------------------------------------------------------------------------

void NetworkTrafficMonitor::start(std::optional<std::string> tunIface) {
    const bool named = tunIface && !tunIface->empty();
    if (state_.isMonitoring) {
        if (named && tunIface != targetIface_) retarget(std::move(*tunIface));
        return;
    }

    ++runGeneration_;
    targetIface_ = named ? std::move(tunIface) : std::nullopt;
    startTime_ = now_();
    state_.isMonitoring = true;
    state_.downSpeed = 0;
    state_.upSpeed = 0;
    state_.uptimeSeconds = 0;
    baseTaken_ = false;
    catchUp_ = false;
    nextTick_ = std::chrono::steady_clock::now();
    publish();
    read();  // the base; the first tick is scheduled once it is in
}

void NetworkTrafficMonitor::retarget(std::string tunIface) {
    // The new interface's counters have nothing to do with the old readings: compared with
    // them, one tick would show the whole counter as traffic. A new run generation drops a read
    // of the old target still out, and the new target's first read is the base.
    ++runGeneration_;
    targetIface_ = std::move(tunIface);
    baseTaken_ = false;
    read();
}

void NetworkTrafficMonitor::stop() {
    ++runGeneration_;
    ++timerGeneration_;
    timer_.cancel();
    state_.isMonitoring = false;
    state_.downSpeed = 0;
    state_.upSpeed = 0;
    targetIface_.reset();
    publish();
}

void NetworkTrafficMonitor::reset() {
    stop();
    state_.totalRxBytes = 0;
    state_.totalTxBytes = 0;
    state_.uptimeSeconds = 0;
    state_.speedHistory = zeroHistory(now_());
    publish();
}

void NetworkTrafficMonitor::tick() {
    read();
}

void NetworkTrafficMonitor::setWatched(bool watched) {
    if (watched == watched_) return;
    watched_ = watched;
    if (!watched) {
        // The pending tick goes; a read still out is applied when it returns but times no next.
        ++timerGeneration_;
        timer_.cancel();
        return;
    }
    // A read still out times the next tick when it returns.
    if (!state_.isMonitoring || reading_) return;
    catchUp_ = baseTaken_;
    read();
}

// ---- sampling --------------------------------------------------------------------------------

void NetworkTrafficMonitor::read() {
    if (!state_.isMonitoring || reading_) return;
    reading_ = true;
    asio::co_spawn(timer_.get_executor(), readCounters(pool_, source_, targetIface_),
                   [this, alive = std::weak_ptr<int>(alive_), generation = runGeneration_](
                       std::exception_ptr error, ByteCounts raw) {
                       if (!alive.expired()) readDone(generation, error, raw);
                   });
}

void NetworkTrafficMonitor::readDone(uint64_t generation, std::exception_ptr error,
                                     const ByteCounts& raw) {
    reading_ = false;
    if (generation != runGeneration_) {
        // A read of an ended run: a run started since then still waits for its base.
        read();
        return;
    }
    // A read that threw gives no sample; without a base the next read becomes it.
    if (!error && baseTaken_) {
        apply(raw);
    } else if (!error) {
        takeBase(raw);
    }
    scheduleTick();
}

void NetworkTrafficMonitor::takeBase(const ByteCounts& raw) {
    // Taken as it is, zero included: at the start a zero is a real count, and the bytes of the
    // first interval are measured against it.
    lastRawRx_ = raw.rx;
    lastRawTx_ = raw.tx;
    baseTaken_ = true;
    catchUp_ = false;
}

void NetworkTrafficMonitor::apply(const ByteCounts& raw) {
    const system_clock::time_point now = now_();
    if (startTime_) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - *startTime_);
        state_.uptimeSeconds = std::max<std::int64_t>(elapsed.count(), 0);
    }

    const std::int64_t rxDelta = deltaOf(lastRawRx_, raw.rx);
    const std::int64_t txDelta = deltaOf(lastRawTx_, raw.tx);
    lastRawRx_ = baseAfter(lastRawRx_, raw.rx);
    lastRawTx_ = baseAfter(lastRawTx_, raw.tx);

    state_.totalRxBytes += rxDelta;
    state_.totalTxBytes += txDelta;
    if (std::exchange(catchUp_, false)) {
        state_.downSpeed = 0;
        state_.upSpeed = 0;
        publish();
        return;
    }
    state_.downSpeed = static_cast<double>(rxDelta);
    state_.upSpeed = static_cast<double>(txDelta);

    auto& history = state_.speedHistory;
    if (history.size() >= kMaxHistoryLength) {
        history.erase(
            history.begin(),
            history.begin() + static_cast<std::ptrdiff_t>(history.size() - kMaxHistoryLength + 1));
    }
    history.push_back(SpeedSample{newUuid(), state_.downSpeed, state_.upSpeed, now});
    publish();
}

// ---- timer -----------------------------------------------------------------------------------

void NetworkTrafficMonitor::scheduleTick() {
    if (!watched_) return;
    const uint64_t generation = ++timerGeneration_;
    // Ticks keep their cadence instead of drifting by the time each one takes; after a stall
    // (a slow read included) the missed ones are skipped, not fired in a burst.
    const auto now = std::chrono::steady_clock::now();
    nextTick_ += interval_;
    if (nextTick_ <= now) nextTick_ = now + interval_;
    timer_.expires_at(nextTick_);
    timer_.async_wait(
        [this, alive = std::weak_ptr<int>(alive_), generation](const std::error_code& error) {
            if (error || alive.expired() || generation != timerGeneration_) return;
            tick();
        });
}

}  // namespace nimbra
