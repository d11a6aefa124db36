#include "apprules/app_unit_name.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace nimbra::apprules {
namespace {

constexpr std::string_view kPrefix = "app-";
constexpr std::string_view kService = ".service";
constexpr std::string_view kScope = ".scope";
// systemd before 248 named the units of autostart entries "app-<id>-autostart.service"; later
// ones "app-<id>@autostart.service", which the instance rule already covers.
constexpr std::string_view kLegacyAutostart = "-autostart";

// Launchers known to put their own name between "app-" and the id. The name alone cannot tell
// "app-gnome-org.gnome.Evince" (launcher and id) from "app-google-chrome" (an id whose dash a
// launcher did not escape), so only these count as a launcher; anything else is part of the id.
constexpr std::array<std::string_view, 18> kLaunchers = {
    "gnome",    "kde",    "flatpak", "xfce",     "glib", "nimbra",  "cosmic", "lxqt",  "mate",
    "cinnamon", "budgie", "sway",    "hyprland", "niri", "wayfire", "labwc",  "river", "gio"};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool isKnownLauncher(std::string_view word) {
    return std::any_of(kLaunchers.begin(), kLaunchers.end(), [word](std::string_view launcher) {
        return sameIgnoringCase(word, launcher);
    });
}

bool isAlphanumeric(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0;
    });
}

std::optional<int> hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return std::nullopt;
}

// Undoes systemd's "\xNN" escapes. None for a broken escape, and for a result that cannot be a
// desktop id: a '/' would name a folder, a control character nothing a menu shows.
std::optional<std::string> unescaped(std::string_view escaped) {
    std::string text;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        char c = escaped[i];
        if (c == '\\') {
            if (i + 3 >= escaped.size()) return std::nullopt;
            const auto high = escaped[i + 1] == 'x' ? hexDigit(escaped[i + 2]) : std::nullopt;
            const auto low = hexDigit(escaped[i + 3]);
            if (!high || !low) return std::nullopt;
            c = static_cast<char>(*high * 16 + *low);
            i += 3;
        }
        if (c == '/' || std::iscntrl(static_cast<unsigned char>(c))) return std::nullopt;
        text.push_back(c);
    }
    if (text.empty()) return std::nullopt;
    return text;
}

// "[<launcher>-]<ApplicationID>", the unit name with "app-" and the instance or random part gone.
std::optional<std::string> idOfBody(std::string_view body) {
    // Escaped ids hold no dash, so an empty dash-separated part is no name a launcher made.
    if (body.empty() || body.front() == '-' || body.back() == '-' ||
        body.find("--") != std::string_view::npos) {
        return std::nullopt;
    }
    const auto dash = body.find('-');
    if (dash != std::string_view::npos && isKnownLauncher(body.substr(0, dash))) {
        body.remove_prefix(dash + 1);
    }
    return unescaped(body);
}

}  // namespace

std::optional<std::string> desktopIdOfUnit(std::string_view unitName) {
    if (!unitName.starts_with(kPrefix)) return std::nullopt;
    if (unitName.ends_with(kService)) {
        std::string_view body = unitName.substr(kPrefix.size());
        body.remove_suffix(kService.size());
        if (const auto at = body.find('@'); at != std::string_view::npos) {
            // A template ("app-x@.service") never runs; only its instances have a cgroup.
            if (at + 1 == body.size()) return std::nullopt;
            body = body.substr(0, at);
        } else if (body.ends_with(kLegacyAutostart)) {
            body.remove_suffix(kLegacyAutostart.size());
        }
        return idOfBody(body);
    }
    if (unitName.ends_with(kScope)) {
        std::string_view body = unitName.substr(kPrefix.size());
        body.remove_suffix(kScope.size());
        // The random part is a pid or a few letters and digits; one with dots is an id whose
        // random part is missing ("app-gnome-org.gnome.Evince.scope").
        const auto dash = body.rfind('-');
        if (dash == std::string_view::npos || !isAlphanumeric(body.substr(dash + 1))) {
            return std::nullopt;
        }
        return idOfBody(body.substr(0, dash));
    }
    return std::nullopt;
}

}  // namespace nimbra::apprules
