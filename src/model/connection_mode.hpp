#pragma once

#include <optional>
#include <string_view>

#include "base/enum_table.hpp"
#include "model/app_language.hpp"

namespace nimbra {

// How a connection carries traffic: only the engine's SOCKS listener, the system proxy through
// our HTTP relay, or whole-machine routing through the daemon's TUN.
enum class ConnectionMode { socks, globalTun, realTun };

inline constexpr EnumTable<ConnectionMode, 3> kConnectionModes{{
    {ConnectionMode::socks, "socks", "Local SOCKS", "仅 SOCKS"},
    {ConnectionMode::globalTun, "global_tun", "System Proxy", "系统代理"},
    {ConnectionMode::realTun, "real_tun", "TUN", "真全局"},
}};

constexpr std::string_view rawValue(ConnectionMode mode) {
    return rowOf(kConnectionModes, mode).raw;
}
constexpr std::optional<ConnectionMode> connectionModeFromRaw(std::string_view raw) {
    return valueOfRaw(kConnectionModes, raw);
}
constexpr std::string_view label(ConnectionMode mode, AppLanguage language) {
    const auto& row = rowOf(kConnectionModes, mode);
    return pick(language, row.english, row.chinese);
}

}  // namespace nimbra
