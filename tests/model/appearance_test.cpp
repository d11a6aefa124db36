#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/desktop_color_scheme.hpp"
#include "model/font_choice.hpp"

namespace nimbra {
namespace {

// What the desktop reports, through each of its channels, and the scheme the window then takes
// under each stored theme.
TEST(AppearanceTest, TheWindowsSchemeFollowsTheDesktopOnlyForTheSystemTheme) {
    struct Row {
        DesktopScheme desktop;
        ColorScheme system;
    };
    const Row rows[] = {
        {desktopSchemeFromPortal(1), ColorScheme::dark},
        {desktopSchemeFromPortal(2), ColorScheme::light},
        {desktopSchemeFromPortal(0), ColorScheme::light},
        {desktopSchemeFromPortal(7), ColorScheme::light},
        {desktopSchemeFromGnome("'prefer-dark'"), ColorScheme::dark},
        {desktopSchemeFromGnome("'default'"), ColorScheme::light},
        {desktopSchemeFromKde("BreezeDark"), ColorScheme::dark},
        {desktopSchemeFromKde("Breeze"), ColorScheme::light},
        {desktopSchemeFromWindowLightness(40), ColorScheme::dark},
        {desktopSchemeFromWindowLightness(239), ColorScheme::light},
    };
    for (const Row& row : rows) {
        const int index = static_cast<int>(&row - rows);
        EXPECT_EQ(effectiveColorScheme(AppTheme::system, row.desktop), row.system) << index;
        EXPECT_EQ(effectiveColorScheme(AppTheme::light, row.desktop), ColorScheme::light) << index;
        EXPECT_EQ(effectiveColorScheme(AppTheme::dark, row.desktop), ColorScheme::dark) << index;
    }
    // Nothing said at all (a gsettings without the key, an empty KDE name) lets the next source
    // speak.
    EXPECT_EQ(desktopSchemeFromGnome(""), DesktopScheme::unknown);
    EXPECT_EQ(desktopSchemeFromKde(" \n"), DesktopScheme::unknown);
}

// The first installed family of each chain, by machine and language.
TEST(AppearanceTest, FontsAreTheFirstInstalledOfEachChain) {
    struct Row {
        std::vector<std::string> installed;
        AppLanguage language;
        std::string interface;
        std::string mono;
    };
    const Row rows[] = {
        {{"DejaVu Sans", "JetBrains Mono", "inter", "WenQuanYi Micro Hei"},
         AppLanguage::english,
         "inter",
         "JetBrains Mono"},
        {{"WenQuanYi Zen Hei", "Inter", "Noto Sans CJK SC", "DejaVu Sans Mono"},
         AppLanguage::chinese,
         "Noto Sans CJK SC",
         "DejaVu Sans Mono"},
        {{"Inter Variable", "Liberation Mono"},
         AppLanguage::chinese,
         "Inter Variable",
         "Liberation Mono"},
        {{"DejaVu Sans", "Interstate"}, AppLanguage::english, "", ""},
    };
    for (const Row& row : rows) {
        const FontChoice choice = chooseFonts(row.installed, row.language);
        EXPECT_EQ(choice.interface, row.interface) << row.installed.front();
        EXPECT_EQ(choice.mono, row.mono) << row.installed.front();
    }
}

}  // namespace
}  // namespace nimbra
