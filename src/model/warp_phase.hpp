#pragma once

#include <optional>
#include <string_view>

#include "base/enum_table.hpp"
#include "model/app_language.hpp"

namespace nimbra {

// Where the connection stands. The raw values are stable identifiers; the views show the label.
enum class WarpPhase {
    disconnected,
    preparing,
    startingEngine,
    connected,
    reconnecting,
    stopping,
    error
};

inline constexpr EnumTable<WarpPhase, 7> kWarpPhases{{
    {WarpPhase::disconnected, "Disconnected", "Disconnected", "未连接"},
    {WarpPhase::preparing, "Preparing", "Connecting", "连接中"},
    {WarpPhase::startingEngine, "Starting", "Connecting", "连接中"},
    {WarpPhase::connected, "Connected", "Connected", "已连接"},
    {WarpPhase::reconnecting, "Reconnecting", "Reconnecting", "重连中"},
    {WarpPhase::stopping, "Disconnecting", "Disconnecting", "断开中"},
    {WarpPhase::error, "Error", "Error", "出错"},
}};

constexpr std::string_view rawValue(WarpPhase phase) {
    return rowOf(kWarpPhases, phase).raw;
}
constexpr std::optional<WarpPhase> warpPhaseFromRaw(std::string_view raw) {
    return valueOfRaw(kWarpPhases, raw);
}
constexpr std::string_view statusLabel(WarpPhase phase, AppLanguage language) {
    const auto& row = rowOf(kWarpPhases, phase);
    return pick(language, row.english, row.chinese);
}

}  // namespace nimbra
