#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nimbra {

// One point of the throughput sparkline.
struct SpeedSample {
    std::string id;  // a fresh UUID for every sample
    double downBytesPerSec = 0;
    double upBytesPerSec = 0;
    std::chrono::system_clock::time_point timestamp;

    bool operator==(const SpeedSample&) const = default;
};

// What the views see of the traffic monitor.
struct TrafficSnapshot {
    double downSpeed = 0;           // bytes received during the last tick
    double upSpeed = 0;             // bytes sent during the last tick
    std::int64_t totalRxBytes = 0;  // since the last reset
    std::int64_t totalTxBytes = 0;
    std::vector<SpeedSample> speedHistory;  // always 24 samples, oldest first
    std::int64_t uptimeSeconds = 0;         // whole seconds since monitoring started
    bool isMonitoring = false;

    bool operator==(const TrafficSnapshot&) const = default;
};

using TrafficSnapshotPtr = std::shared_ptr<const TrafficSnapshot>;

}  // namespace nimbra
