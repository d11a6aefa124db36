// Unit names as desktops, Flatpak and systemd's autostart generator give them, against the
// desktop ids they were started for; and the names that are no application's.

#include "apprules/app_unit_name.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace nimbra::apprules {
namespace {

TEST(AppUnitName, ReadsTheDesktopIdOfApplicationUnitsOnly) {
    const struct {
        const char* unit;
        std::optional<std::string> id;
    } cases[] = {
        {"app-gnome-org.gnome.Evince-4242.scope", "org.gnome.Evince"},
        {R"(app-gnome-google\x2dchrome-9134.scope)", "google-chrome"},
        {"app-org.kde.konsole-8a3f1c2d.scope", "org.kde.konsole"},
        {"app-KDE-org.kde.okular@12345.service", "org.kde.okular"},
        {"app-flatpak-org.mozilla.firefox-51234.scope", "org.mozilla.firefox"},
        {R"(app-firefox\x2desr@autostart.service)", "firefox-esr"},
        {"app-gnome-firefox-autostart.service", "firefox"},
        {"app-org.kde.amarok.service", "org.kde.amarok"},
        // A launcher that left the id's dash unescaped: "google" is no launcher.
        {"app-google-chrome-12.scope", "google-chrome"},
        {"app.slice", std::nullopt},
        {"app-gnome-org.gnome.Evince.slice", std::nullopt},
        {"user@1000.service", std::nullopt},
        {"session-2.scope", std::nullopt},
        {"app-gnome-org.gnome.Evince.scope", std::nullopt},  // no random part
        {"app-firefox@.service", std::nullopt},              // a template, never running
        {R"(app-gnome-bad\x2g-1.scope)", std::nullopt},
        {R"(app-gnome-tail\x2-1.scope)", std::nullopt},
        {R"(app-a\x2fb-1.scope)", std::nullopt},  // would name a folder
        {"app--1.scope", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(desktopIdOfUnit(c.unit), c.id) << c.unit;
    }
}

}  // namespace
}  // namespace nimbra::apprules
