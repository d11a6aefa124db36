#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbra::apprules {

// The desktop id (the entry's file name without ".desktop") of the application a systemd unit
// was started for, read from the unit's name as desktops name application units:
//
//   app[-<launcher>]-<ApplicationID>[@<RANDOM>].service
//   app[-<launcher>]-<ApplicationID>-<RANDOM>.scope
//
// e.g. "app-gnome-org.gnome.Evince-4242.scope", "app-flatpak-org.telegram.desktop@12.service",
// "app-org.kde.konsole-8a3f1c.scope", "app-firefox@autostart.service". The id comes back with
// systemd's escapes undone ("google\x2dchrome" is "google-chrome"). None for any other unit (a
// slice, the user manager, a session scope) and for a name that breaks the pattern.
std::optional<std::string> desktopIdOfUnit(std::string_view unitName);

}  // namespace nimbra::apprules
