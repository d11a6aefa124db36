#include "presentation/tray_menu.hpp"

#include <string>

#include "l10n/l10n.hpp"
#include "observe/traffic_formatting.hpp"
#include "presentation/tray_subtitle.hpp"

namespace nimbra::presentation {
namespace {

MenuItem entry(MenuItemKind kind, std::string_view id, std::string text = {}) {
    MenuItem item;
    item.kind = kind;
    item.id = std::string(id);
    item.text = std::move(text);
    return item;
}

MenuItem caption(std::string_view id, std::string text) {
    MenuItem item = entry(MenuItemKind::caption, id, std::move(text));
    item.enabled = false;
    item.visible = !item.text.empty();
    return item;
}

MenuItem action(std::string_view id, std::string text) {
    return entry(MenuItemKind::action, id, std::move(text));
}

MenuItem separator(std::string_view id) {
    return entry(MenuItemKind::separator, id);
}

MenuItem choice(std::string_view prefix, std::string_view raw, std::string_view text,
                bool checked) {
    MenuItem item = action(std::string(prefix) + std::string(raw), std::string(text));
    item.checkable = true;
    item.checked = checked;
    return item;
}

std::string speedCaption(const TrafficSnapshot& traffic) {
    const auto [down, downUnit] = traffic::formatSpeed(traffic.downSpeed);
    const auto [up, upUnit] = traffic::formatSpeed(traffic.upSpeed);
    return "↓ " + down + " " + downUnit + "   ↑ " + up + " " + upUnit;
}

// Freedesktop names for the theme symbols: a screen, a sun, a moon.
std::string themeIcon(AppTheme theme) {
    switch (theme) {
        case AppTheme::light:
            return "weather-clear";
        case AppTheme::dark:
            return "weather-clear-night";
        case AppTheme::system:
            break;
    }
    return "video-display";
}

MenuItem languageMenu(AppLanguage language) {
    MenuItem menu = entry(MenuItemKind::submenu, "language", L10n::trayLanguageMenu(language));
    for (AppLanguage each : kAllAppLanguages) {
        menu.children.push_back(
            choice(tray_id::languagePrefix, rawValue(each), menuName(each), each == language));
    }
    return menu;
}

MenuItem themeMenu(AppTheme current, AppLanguage language) {
    MenuItem menu = entry(MenuItemKind::submenu, "theme", L10n::trayThemeMenu(language));
    for (const auto& row : kAppThemes) {
        MenuItem item =
            choice(tray_id::themePrefix, row.raw, name(row.value, language), row.value == current);
        item.icon = themeIcon(row.value);
        menu.children.push_back(std::move(item));
    }
    return menu;
}

}  // namespace

std::vector<MenuItem> trayMenu(const ControllerSnapshot& snapshot, AppLanguage language,
                               AppTheme theme) {
    const bool connected = snapshot.isConnected();
    MenuItem speeds = caption("speeds", speedCaption(snapshot.traffic));
    speeds.visible = connected;
    MenuItem toggle = action(tray_id::toggle,
                             L10n::trayToggleTitle(snapshot.phase, snapshot.connecting, language));
    // A teardown cannot be interrupted: the item waits greyed until it is done.
    toggle.enabled = snapshot.phase != WarpPhase::stopping;
    MenuItem recheck = action(tray_id::recheckConflicts, L10n::trayRecheckConflicts(language));
    recheck.visible =
        !connected && !snapshot.connecting &&
        (snapshot.phase == WarpPhase::disconnected || snapshot.phase == WarpPhase::error);

    return {
        caption("status", "Nimbra · " + L10n::status(snapshot.phase, language)),
        caption("subtitle", traySubtitle(snapshot, language)),
        std::move(speeds),
        separator("after-status"),
        std::move(toggle),
        action(tray_id::showWindow, L10n::trayShowWindow(language)),
        action(tray_id::appRules, L10n::trayAppRules(language)),
        std::move(recheck),
        separator("after-actions"),
        languageMenu(language),
        themeMenu(theme, language),
        separator("before-quit"),
        action(tray_id::quit, L10n::trayQuit(language)),
    };
}

}  // namespace nimbra::presentation
