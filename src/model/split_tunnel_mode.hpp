#pragma once

#include <optional>
#include <string_view>

#include "base/enum_table.hpp"
#include "model/app_language.hpp"

namespace nimbra {

// What the system proxy mode hands to the system: every proxy (full) or only a PAC script that
// sends a curated list of domains through the tunnel (auto).
enum class SplitTunnelMode { full, autoSplit };

inline constexpr EnumTable<SplitTunnelMode, 2> kSplitTunnelModes{{
    {SplitTunnelMode::full, "full", "Full", "完整"},
    {SplitTunnelMode::autoSplit, "auto", "Auto split", "自动分流"},
}};

constexpr std::string_view rawValue(SplitTunnelMode mode) {
    return rowOf(kSplitTunnelModes, mode).raw;
}
constexpr std::optional<SplitTunnelMode> splitTunnelModeFromRaw(std::string_view raw) {
    return valueOfRaw(kSplitTunnelModes, raw);
}
constexpr std::string_view label(SplitTunnelMode mode, AppLanguage language) {
    const auto& row = rowOf(kSplitTunnelModes, mode);
    return pick(language, row.english, row.chinese);
}

}  // namespace nimbra
