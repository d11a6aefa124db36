// The three texts the interface shows for traffic: speed (number and unit), byte counts and
// uptime, at and around every unit boundary.

#include "observe/traffic_formatting.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace nimbra {
namespace {

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;
constexpr std::int64_t kGiB = 1024 * kMiB;

TEST(TrafficFormatting, SpeedInBinaryUnitsNeverNegative) {
    // clang-format off
    const std::pair<double, std::pair<std::string, std::string>> cases[] = {
        {0, {"0", "B/s"}}, {512.4, {"512", "B/s"}}, {1023, {"1023", "B/s"}},
        {-5, {"0", "B/s"}}, {-0.4, {"0", "B/s"}}, {-5.0 * kGiB, {"0", "B/s"}},
        {std::numeric_limits<double>::quiet_NaN(), {"0", "B/s"}},
        {1024, {"1.0", "KB/s"}}, {1536, {"1.5", "KB/s"}}, {kMiB - 1, {"1024.0", "KB/s"}},
        {kMiB, {"1.0", "MB/s"}}, {2.5 * kMiB, {"2.5", "MB/s"}}, {kGiB - 1, {"1024.0", "MB/s"}},
        {kGiB, {"1.0", "GB/s"}}, {3000.0 * kGiB, {"3000.0", "GB/s"}},
    };
    // clang-format on
    for (const auto& [speed, expected] : cases)
        EXPECT_EQ(traffic::formatSpeed(speed), expected) << speed;
}

TEST(TrafficFormatting, BytesWithOneDecimalUpToMebibytesAndTwoFromGibibytes) {
    // clang-format off
    const std::pair<std::int64_t, std::string> cases[] = {
        {0, "0 B"}, {1023, "1023 B"}, {-5, "-5 B"},
        {1024, "1.0 KB"}, {1536, "1.5 KB"}, {kMiB - 1, "1024.0 KB"},
        {kMiB, "1.0 MB"}, {10 * kMiB + kMiB / 2, "10.5 MB"}, {kGiB - 1, "1024.0 MB"},
        {kGiB, "1.00 GB"}, {5 * kGiB + kGiB / 4, "5.25 GB"},
    };
    // clang-format on
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(traffic::formatBytes(bytes), expected);
    EXPECT_EQ(traffic::formatBytes(std::numeric_limits<std::int64_t>::min()),
              "-9223372036854775808 B");
    EXPECT_EQ(traffic::formatBytes(std::numeric_limits<std::int64_t>::max()), "8589934592.00 GB");
}

TEST(TrafficFormatting, UptimeAsMinutesThenHoursWithoutDays) {
    const std::pair<std::int64_t, std::string> cases[] = {
        {0, "00:00"},       {59, "00:59"},      {754, "12:34"},      {3599, "59:59"},
        {3600, "01:00:00"}, {3661, "01:01:01"}, {86399, "23:59:59"}, {100 * 3600 + 5, "100:00:05"},
        {-1, "00:00"},      {-3661, "00:00"},
    };
    for (const auto& [seconds, expected] : cases)
        EXPECT_EQ(traffic::formatUptime(seconds), expected);
}

}  // namespace
}  // namespace nimbra
