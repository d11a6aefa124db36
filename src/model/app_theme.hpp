#pragma once

#include <optional>
#include <string_view>

#include "base/enum_table.hpp"
#include "model/app_language.hpp"

namespace nimbra {

// The window's appearance: follow the desktop, or force light or dark.
enum class AppTheme { system, light, dark };

inline constexpr EnumTable<AppTheme, 3> kAppThemes{{
    {AppTheme::system, "system", "System", "跟随系统"},
    {AppTheme::light, "light", "Light", "浅色明亮"},
    {AppTheme::dark, "dark", "Pro Dark", "暗黑专业"},
}};

constexpr std::string_view rawValue(AppTheme theme) {
    return rowOf(kAppThemes, theme).raw;
}

// Anything stored that is not one of the three raw values means "follow the system".
constexpr AppTheme appThemeFromPreference(std::string_view raw) {
    return valueOfRaw(kAppThemes, raw).value_or(AppTheme::system);
}

constexpr std::string_view name(AppTheme theme, AppLanguage language) {
    const auto& row = rowOf(kAppThemes, theme);
    return pick(language, row.english, row.chinese);
}

// The symbol shown beside the theme in the menu (named after the system symbol set).
constexpr std::string_view menuSymbol(AppTheme theme) {
    switch (theme) {
        case AppTheme::light:
            return "sun.max.fill";
        case AppTheme::dark:
            return "moon.fill";
        case AppTheme::system:
            break;
    }
    return "display";
}

// The colour scheme forced on the main window; none means follow the desktop.
enum class ColorScheme { light, dark };
constexpr std::optional<ColorScheme> colorScheme(AppTheme theme) {
    switch (theme) {
        case AppTheme::light:
            return ColorScheme::light;
        case AppTheme::dark:
            return ColorScheme::dark;
        case AppTheme::system:
            break;
    }
    return std::nullopt;
}

}  // namespace nimbra
