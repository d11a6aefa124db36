#pragma once

#include <cstdint>
#include <string_view>

#include "model/app_theme.hpp"

namespace nimbra {

// What the desktop says about light and dark, as far as it says anything.
enum class DesktopScheme { unknown, light, dark };

// The portal's "color-scheme" setting: 1 prefers dark, 2 prefers light, 0 (and anything newer) no
// preference.
DesktopScheme desktopSchemeFromPortal(uint32_t value);
// GNOME's `color-scheme` key as gsettings prints it ("'prefer-dark'", "'default'", ...).
DesktopScheme desktopSchemeFromGnome(std::string_view printed);
// KDE's colour scheme name (kdeglobals, General/ColorScheme): Breeze's dark schemes and most
// others carry "Dark" in their name; an empty name says nothing.
DesktopScheme desktopSchemeFromKde(std::string_view schemeName);
// The lightness (0-255) of the widget palette's window colour, the last resort.
DesktopScheme desktopSchemeFromWindowLightness(int lightness);

// The scheme the window is drawn in: "light" and "dark" force it; "system" follows the desktop,
// light when the desktop has no preference.
ColorScheme effectiveColorScheme(AppTheme theme, DesktopScheme desktop);

}  // namespace nimbra
