#pragma once

#include <optional>
#include <string_view>

#include "base/enum_table.hpp"

namespace nimbra {

// The per-app rules panel's lists: running applications, the user's rules, installed ones. The
// texts are the tab labels (the first two followed by their count).
enum class AppRulesTab { running, configured, all };

inline constexpr EnumTable<AppRulesTab, 3> kAppRulesTabs{{
    {AppRulesTab::running, "running", "Running", "正在运行"},
    {AppRulesTab::configured, "configured", "Configured", "已配置规则"},
    {AppRulesTab::all, "all", "All Apps", "所有应用"},
}};

constexpr std::string_view rawValue(AppRulesTab tab) {
    return rowOf(kAppRulesTabs, tab).raw;
}
constexpr std::optional<AppRulesTab> appRulesTabFromRaw(std::string_view raw) {
    return valueOfRaw(kAppRulesTabs, raw);
}

}  // namespace nimbra
