#pragma once

#include <cstdint>
#include <string>
#include <utility>

// How the interface shows speeds, byte counts and uptime. Units are binary (1 KB = 1024 bytes).
namespace nimbra::traffic {

// A speed as (number, unit): "1.5" with "KB/s", "512" with "B/s". One decimal from KB/s up,
// whole bytes below 1024; a negative speed shows as "0".
std::pair<std::string, std::string> formatSpeed(double bytesPerSecond);

// "1023 B", "1.0 KB", "3.4 MB", "1.25 GB". Below 1024 (negative included) the plain number.
std::string formatBytes(std::int64_t bytes);

// "00:59" below an hour, "01:01:01" from an hour on. A negative uptime shows as "00:00".
std::string formatUptime(std::int64_t seconds);

}  // namespace nimbra::traffic
