#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "model/desktop_color_scheme.hpp"
#include "model/font_choice.hpp"

namespace nimbra {
namespace {

// What the desktop reports, through each of its channels, and the scheme the window then takes
// under each stored theme.
TEST(AppearanceTest, TheWindowsSchemeFollowsTheDesktopOnlyForTheSystemTheme) {
    const std::pair<DesktopScheme, ColorScheme> rows[] = {
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
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        const auto& [desktop, system] = rows[i];
        EXPECT_EQ(effectiveColorScheme(AppTheme::system, desktop), system);
        EXPECT_EQ(effectiveColorScheme(AppTheme::light, desktop), ColorScheme::light);
        EXPECT_EQ(effectiveColorScheme(AppTheme::dark, desktop), ColorScheme::dark);
    }
    // Nothing said at all (a gsettings without the key, an empty KDE name) lets the next source
    // speak.
    EXPECT_EQ(desktopSchemeFromGnome(""), DesktopScheme::unknown);
    EXPECT_EQ(desktopSchemeFromKde(" \n"), DesktopScheme::unknown);
}

// The first installed family of each chain, by machine and language.
TEST(AppearanceTest, FontsAreTheFirstInstalledOfEachChain) {
    using Installed = std::vector<std::string>;
    const std::tuple<Installed, AppLanguage, FontChoice> rows[] = {
        {{"DejaVu Sans", "JetBrains Mono", "inter", "WenQuanYi Micro Hei"},
         AppLanguage::english,
         {"inter", "JetBrains Mono"}},
        {{"WenQuanYi Zen Hei", "Inter", "Noto Sans CJK SC", "DejaVu Sans Mono"},
         AppLanguage::chinese,
         {"Noto Sans CJK SC", "DejaVu Sans Mono"}},
        {{"Inter Variable", "Liberation Mono"},
         AppLanguage::chinese,
         {"Inter Variable", "Liberation Mono"}},
        {{"DejaVu Sans", "Interstate"}, AppLanguage::english, {"", ""}},
    };
    for (const auto& [installed, language, expected] : rows) {
        const FontChoice choice = chooseFonts(installed, language);
        EXPECT_EQ(choice.interface, expected.interface) << installed.front();
        EXPECT_EQ(choice.mono, expected.mono) << installed.front();
    }
}

}  // namespace
}  // namespace nimbra
