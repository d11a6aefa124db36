#pragma once

#include <optional>
#include <string_view>

#include "base/enum_table.hpp"
#include "model/app_language.hpp"

namespace nimbra {

// The DNS mode the daemon's forwarder runs in real TUN mode.
enum class DaemonDNSModeOption { off, cloudflare, adguard, nextdns, custom };

inline constexpr EnumTable<DaemonDNSModeOption, 5> kDaemonDNSModeOptions{{
    {DaemonDNSModeOption::off, "off", "Off", "Off"},
    {DaemonDNSModeOption::cloudflare, "cloudflare", "CF", "CF"},
    {DaemonDNSModeOption::adguard, "adguard", "AdGuard", "AdGuard"},
    {DaemonDNSModeOption::nextdns, "nextdns", "NextDNS", "NextDNS"},
    {DaemonDNSModeOption::custom, "custom", "Custom", "自定义"},
}};

constexpr std::string_view rawValue(DaemonDNSModeOption mode) {
    return rowOf(kDaemonDNSModeOptions, mode).raw;
}
constexpr std::optional<DaemonDNSModeOption> daemonDNSModeOptionFromRaw(std::string_view raw) {
    return valueOfRaw(kDaemonDNSModeOptions, raw);
}
constexpr std::string_view title(DaemonDNSModeOption mode, AppLanguage language) {
    const auto& row = rowOf(kDaemonDNSModeOptions, mode);
    return pick(language, row.english, row.chinese);
}

}  // namespace nimbra
