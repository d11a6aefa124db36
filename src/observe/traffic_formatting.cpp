#include "observe/traffic_formatting.hpp"

#include <cstdio>

namespace nimbra::traffic {
namespace {

constexpr double kKiB = 1024.0;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

template <typename... Args>
std::string printed(const char* format, Args... args) {
    char text[64];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

}  // namespace

std::pair<std::string, std::string> formatSpeed(double bytesPerSecond) {
    const double v = bytesPerSecond;
    if (v >= kGiB) return {printed("%.1f", v / kGiB), "GB/s"};
    if (v >= kMiB) return {printed("%.1f", v / kMiB), "MB/s"};
    if (v >= kKiB) return {printed("%.1f", v / kKiB), "KB/s"};
    // Written so that NaN also lands on 0; "%.0f" of a small negative would print "-0".
    return {printed("%.0f", v > 0 ? v : 0.0), "B/s"};
}

std::string formatBytes(std::int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    const double n = static_cast<double>(bytes);
    if (n < kMiB) return printed("%.1f KB", n / kKiB);
    if (n < kGiB) return printed("%.1f MB", n / kMiB);
    return printed("%.2f GB", n / kGiB);
}

std::string formatUptime(std::int64_t seconds) {
    const std::int64_t s = seconds > 0 ? seconds : 0;
    const int minutes = static_cast<int>(s % 3600 / 60);
    const int secs = static_cast<int>(s % 60);
    if (s < 3600) return printed("%02d:%02d", minutes, secs);
    return printed("%02lld:%02d:%02d", static_cast<long long>(s / 3600), minutes, secs);
}

}  // namespace nimbra::traffic
