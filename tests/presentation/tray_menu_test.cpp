#include "presentation/tray_menu.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "presentation/tray_icon_state.hpp"
#include "presentation/tray_subtitle.hpp"

namespace nimbra::presentation {
namespace {

using enum WarpPhase;
const AppLanguage kEn = AppLanguage::english;
const AppLanguage kZh = AppLanguage::chinese;

ControllerSnapshot withExit(WarpPhase phase, std::string ip, std::string loc, std::string colo) {
    ControllerSnapshot snapshot;
    snapshot.phase = phase;
    snapshot.exitIp = std::move(ip);
    snapshot.exitLoc = std::move(loc);
    snapshot.exitColo = std::move(colo);
    snapshot.exitWarp = "on";
    return snapshot;
}

const MenuItem& item(const std::vector<MenuItem>& menu, std::string_view id) {
    auto found =
        std::find_if(menu.begin(), menu.end(), [&](const MenuItem& each) { return each.id == id; });
    if (found == menu.end()) throw std::runtime_error("no item " + std::string(id));
    return *found;
}

// The first rule that applies wins; the exit's WARP flag never shows.
TEST(TraySubtitle, FirstApplyingRuleGivesTheLine) {
    struct Row {
        const char* why;
        std::function<void(ControllerSnapshot&)> change;
        AppLanguage language;
        std::string expected;
    };
    const std::vector<Row> rows{
        {"connect under way, old exit kept", [](auto& s) { s.connecting = true; }, kEn,
         "Establishing tunnel…"},
        {"engine starting", [](auto& s) { s.phase = startingEngine; }, kZh, "正在建立隧道…"},
        {"preparing beats a conflict",
         [](auto& s) { s.phase = preparing, s.conflictBlocking = true; }, kEn,
         "Establishing tunnel…"},
        {"a cancel cleaning up", [](auto& s) { s.phase = stopping, s.connecting = true; }, kZh,
         "正在清理…"},
        {"reconnecting shows its detail",
         [](auto& s) { s.phase = reconnecting, s.detail = "Switching exit gateway…"; }, kEn,
         "Switching exit gateway…"},
        {"reconnecting without detail shows the exit",
         [](auto& s) { s.phase = reconnecting, s.detail.clear(); }, kEn, "203.0.113.9 · SJC/sjc"},
        {"official WARP blocks", [](auto& s) { s.phase = error, s.conflictBlocking = true; }, kZh,
         "需先断开官方 WARP"},
        {"connected ignores a stale conflict",
         [](auto& s) { s.phase = connected, s.conflictBlocking = true; }, kEn,
         "203.0.113.9 · SJC/sjc"},
        {"connected, colo unknown", [](auto& s) { s.phase = connected, s.exitColo = "—"; }, kEn,
         "203.0.113.9 · SJC"},
        {"connected, address unknown", [](auto& s) { s.phase = connected, s.exitIp = "—"; }, kEn,
         "SJC/sjc"},
        {"connected, nothing known",
         [](auto& s) { s.phase = connected, s.exitIp = s.exitLoc = s.exitColo = "—"; }, kEn, ""},
        {"disconnected keeps the last exit", [](auto&) {}, kZh, "203.0.113.9 · SJC/sjc"},
        {"disconnected without address", [](auto& s) { s.exitIp = ""; }, kEn, ""},
        {"error without address", [](auto& s) { s.phase = error, s.exitIp = "—"; }, kEn, ""},
    };
    for (const Row& row : rows) {
        ControllerSnapshot snapshot = withExit(disconnected, "203.0.113.9", "SJC", "sjc");
        row.change(snapshot);
        EXPECT_EQ(traySubtitle(snapshot, row.language), row.expected) << row.why;
        EXPECT_EQ(item(trayMenu(snapshot, row.language, AppTheme::system), "subtitle").visible,
                  !row.expected.empty())
            << row.why;
    }
}

// Which entries show, and whether the toggle can be pressed, as the connection moves; the icon
// follows the same phase.
TEST(TrayMenu, EntriesShowByPhase) {
    struct Row {
        WarpPhase phase;
        bool connecting;
        bool speeds, recheck, toggleEnabled;
        TrayIconState icon;
    };
    const std::vector<Row> rows{
        {disconnected, false, false, true, true, TrayIconState::disconnected},
        {disconnected, true, false, false, true, TrayIconState::disconnected},
        {preparing, true, false, false, true, TrayIconState::busy},
        {connected, false, true, false, true, TrayIconState::connected},
        {reconnecting, false, true, false, true, TrayIconState::busy},
        {stopping, false, false, false, false, TrayIconState::busy},
        {error, false, false, true, true, TrayIconState::error},
    };
    for (const Row& row : rows) {
        ControllerSnapshot snapshot;
        snapshot.phase = row.phase;
        snapshot.connecting = row.connecting;
        snapshot.traffic.downSpeed = 1536;
        const auto menu = trayMenu(snapshot, kEn, AppTheme::system);
        const std::string why = std::string(rawValue(row.phase)) + (row.connecting ? "+c" : "");
        EXPECT_EQ(item(menu, "speeds").visible, row.speeds) << why;
        EXPECT_EQ(item(menu, tray_id::recheckConflicts).visible, row.recheck) << why;
        EXPECT_EQ(item(menu, tray_id::toggle).enabled, row.toggleEnabled) << why;
        EXPECT_EQ(trayIconState(row.phase), row.icon) << why;
        if (row.speeds) {
            EXPECT_EQ(item(menu, "speeds").text, "↓ 1.5 KB/s   ↑ 0 B/s");
        }
        for (const MenuItem& entry : menu) {
            if (entry.id != "speeds" && entry.id != "subtitle" &&
                entry.id != tray_id::recheckConflicts) {
                EXPECT_TRUE(entry.visible) << why << " " << entry.id;
            }
        }
    }
}

// Exactly the current language and theme carry a check; choosing another moves it.
TEST(TrayMenu, SubmenusCheckTheCurrentChoice) {
    for (AppLanguage language : kAllAppLanguages) {
        for (const auto& theme : kAppThemes) {
            const auto menu = trayMenu(ControllerSnapshot{}, language, theme.value);
            for (const MenuItem& entry : item(menu, "language").children) {
                EXPECT_TRUE(entry.checkable);
                EXPECT_EQ(entry.checked, entry.id == std::string(tray_id::languagePrefix) +
                                                         std::string(rawValue(language)));
            }
            for (const MenuItem& entry : item(menu, "theme").children) {
                EXPECT_EQ(entry.checked,
                          entry.id == std::string(tray_id::themePrefix) + std::string(theme.raw));
            }
        }
    }
}

}  // namespace
}  // namespace nimbra::presentation
