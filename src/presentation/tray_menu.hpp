#pragma once

#include <string_view>
#include <vector>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"
#include "model/app_theme.hpp"
#include "presentation/menu_item.hpp"

namespace nimbra::presentation {

// The ids of the tray menu's entries that do something; the views map each to its action.
namespace tray_id {
inline constexpr std::string_view toggle = "toggle";
inline constexpr std::string_view showWindow = "show-window";
inline constexpr std::string_view appRules = "app-rules";
inline constexpr std::string_view recheckConflicts = "recheck-conflicts";
inline constexpr std::string_view quit = "quit";
// The entries of the language and theme submenus are these prefixes plus the raw value
// ("language:zh", "theme:dark").
inline constexpr std::string_view languagePrefix = "language:";
inline constexpr std::string_view themePrefix = "theme:";
}  // namespace tray_id

// The whole tray menu, top to bottom: status, subtitle, speeds, the connect toggle, the window
// entries, conflict recheck, language and theme, quit. The same entries (by id) in every state;
// what does not apply is hidden, so an open menu changes in place.
std::vector<MenuItem> trayMenu(const ControllerSnapshot& snapshot, AppLanguage language,
                               AppTheme theme);

}  // namespace nimbra::presentation
