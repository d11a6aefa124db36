// The three texts the interface shows for traffic: speed (number and unit), byte counts and
// uptime, at and around every unit boundary.

#include "observe/traffic_formatting.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace nimbra {
namespace {

using traffic::formatBytes;
using traffic::formatSpeed;
using traffic::formatUptime;
using Speed = std::pair<std::string, std::string>;

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = 1024 * kKiB;
constexpr std::int64_t kGiB = 1024 * kMiB;

TEST(TrafficFormatSpeed, BelowOneKibibyteIsWholeBytes) {
    EXPECT_EQ(formatSpeed(0), Speed("0", "B/s"));
    EXPECT_EQ(formatSpeed(1), Speed("1", "B/s"));
    EXPECT_EQ(formatSpeed(512.4), Speed("512", "B/s"));
    EXPECT_EQ(formatSpeed(1023), Speed("1023", "B/s"));
}

TEST(TrafficFormatSpeed, NegativeAndNotANumberShowAsZero) {
    EXPECT_EQ(formatSpeed(-5), Speed("0", "B/s"));
    EXPECT_EQ(formatSpeed(-0.4), Speed("0", "B/s"));  // never "-0"
    EXPECT_EQ(formatSpeed(-5.0 * kGiB), Speed("0", "B/s"));
    EXPECT_EQ(formatSpeed(std::numeric_limits<double>::quiet_NaN()), Speed("0", "B/s"));
}

TEST(TrafficFormatSpeed, BinaryUnitsWithOneDecimal) {
    EXPECT_EQ(formatSpeed(1536), Speed("1.5", "KB/s"));
    EXPECT_EQ(formatSpeed(1024), Speed("1.0", "KB/s"));
    EXPECT_EQ(formatSpeed(kMiB - 1), Speed("1024.0", "KB/s"));  // the unit changes at 2^20
    EXPECT_EQ(formatSpeed(kMiB), Speed("1.0", "MB/s"));
    EXPECT_EQ(formatSpeed(2.5 * kMiB), Speed("2.5", "MB/s"));
    EXPECT_EQ(formatSpeed(kGiB - 1), Speed("1024.0", "MB/s"));
    EXPECT_EQ(formatSpeed(kGiB), Speed("1.0", "GB/s"));
    EXPECT_EQ(formatSpeed(1.5 * kGiB), Speed("1.5", "GB/s"));
    EXPECT_EQ(formatSpeed(3000.0 * kGiB), Speed("3000.0", "GB/s"));
}

TEST(TrafficFormatBytes, BelowOneKibibyteIsThePlainNumber) {
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(1023), "1023 B");
    EXPECT_EQ(formatBytes(-5), "-5 B");
    EXPECT_EQ(formatBytes(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808 B");
}

TEST(TrafficFormatBytes, KibibytesAndMebibytesWithOneDecimal) {
    EXPECT_EQ(formatBytes(1024), "1.0 KB");
    EXPECT_EQ(formatBytes(1536), "1.5 KB");
    EXPECT_EQ(formatBytes(kMiB - 1), "1024.0 KB");
    EXPECT_EQ(formatBytes(kMiB), "1.0 MB");
    EXPECT_EQ(formatBytes(10 * kMiB + kMiB / 2), "10.5 MB");
    EXPECT_EQ(formatBytes(kGiB - 1), "1024.0 MB");
}

TEST(TrafficFormatBytes, GibibytesWithTwoDecimals) {
    EXPECT_EQ(formatBytes(kGiB), "1.00 GB");
    EXPECT_EQ(formatBytes(5 * kGiB + kGiB / 4), "5.25 GB");
    EXPECT_EQ(formatBytes(2048 * kGiB), "2048.00 GB");
    EXPECT_EQ(formatBytes(std::numeric_limits<std::int64_t>::max()), "8589934592.00 GB");
}

TEST(TrafficFormatUptime, MinutesAndSecondsBelowAnHour) {
    EXPECT_EQ(formatUptime(0), "00:00");
    EXPECT_EQ(formatUptime(59), "00:59");
    EXPECT_EQ(formatUptime(60), "01:00");
    EXPECT_EQ(formatUptime(754), "12:34");
    EXPECT_EQ(formatUptime(3599), "59:59");
}

TEST(TrafficFormatUptime, HoursFromAnHourOn) {
    EXPECT_EQ(formatUptime(3600), "01:00:00");
    EXPECT_EQ(formatUptime(3661), "01:01:01");
    EXPECT_EQ(formatUptime(86399), "23:59:59");
    EXPECT_EQ(formatUptime(100 * 3600 + 5), "100:00:05");  // hours are not wrapped into days
}

TEST(TrafficFormatUptime, NegativeShowsAsZero) {
    EXPECT_EQ(formatUptime(-1), "00:00");
    EXPECT_EQ(formatUptime(-3661), "00:00");
}

}  // namespace
}  // namespace nimbra
