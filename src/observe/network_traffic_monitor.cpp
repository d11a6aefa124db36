#include "observe/network_traffic_monitor.hpp"

#include <algorithm>
#include <utility>

#include "model/app_rule_item.hpp"

namespace nimbra {

using std::chrono::system_clock;

NetworkTrafficMonitor::NetworkTrafficMonitor(asio::any_io_executor executor,
                                             std::unique_ptr<ByteCounterSource> source,
                                             std::chrono::milliseconds interval, Clock now)
    : timer_(std::move(executor)),
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
        // The next tick compares the new interface's counters with the old reading; a counter
        // below it gives one zero sample.
        if (named) targetIface_ = std::move(tunIface);
        return;
    }

    targetIface_ = named ? std::move(tunIface) : std::nullopt;
    startTime_ = now_();
    state_.isMonitoring = true;
    state_.downSpeed = 0;
    state_.upSpeed = 0;
    state_.uptimeSeconds = 0;
    const ByteCounts base = source_->sample(targetIface_);
    lastRawRx_ = base.rx;
    lastRawTx_ = base.tx;
    nextTick_ = std::chrono::steady_clock::now();
    scheduleTick();
    publish();
}

void NetworkTrafficMonitor::stop() {
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
    if (!state_.isMonitoring) return;
    const system_clock::time_point now = now_();
    if (startTime_) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - *startTime_);
        state_.uptimeSeconds = std::max<std::int64_t>(elapsed.count(), 0);
    }

    const ByteCounts raw = source_->sample(targetIface_);
    // A counter that went backwards (a 32-bit wrap, an interface that came back, a new target)
    // gives a zero sample rather than a negative or huge one; so does a zero previous reading.
    const std::int64_t rxDelta = lastRawRx_ > 0 && raw.rx >= lastRawRx_ ? raw.rx - lastRawRx_ : 0;
    const std::int64_t txDelta = lastRawTx_ > 0 && raw.tx >= lastRawTx_ ? raw.tx - lastRawTx_ : 0;
    lastRawRx_ = raw.rx;
    lastRawTx_ = raw.tx;

    state_.downSpeed = static_cast<double>(rxDelta);
    state_.upSpeed = static_cast<double>(txDelta);
    state_.totalRxBytes += rxDelta;
    state_.totalTxBytes += txDelta;

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
    const uint64_t generation = ++timerGeneration_;
    // Ticks keep their cadence instead of drifting by the time each one takes; after a stall
    // the missed ones are skipped, not fired in a burst.
    const auto now = std::chrono::steady_clock::now();
    nextTick_ += interval_;
    if (nextTick_ <= now) nextTick_ = now + interval_;
    timer_.expires_at(nextTick_);
    timer_.async_wait(
        [this, alive = std::weak_ptr<int>(alive_), generation](const std::error_code& error) {
            if (error || alive.expired()) return;
            if (generation != timerGeneration_ || !state_.isMonitoring) return;
            tick();
            scheduleTick();
        });
}

}  // namespace nimbra
