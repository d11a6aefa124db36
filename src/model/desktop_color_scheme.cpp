#include "model/desktop_color_scheme.hpp"

namespace nimbra {

DesktopScheme desktopSchemeFromPortal(uint32_t value) {
    switch (value) {
        case 1:
            return DesktopScheme::dark;
        case 2:
            return DesktopScheme::light;
        default:
            return DesktopScheme::unknown;
    }
}

DesktopScheme desktopSchemeFromGnome(std::string_view printed) {
    if (printed.find("prefer-dark") != std::string_view::npos) return DesktopScheme::dark;
    if (printed.find("prefer-light") != std::string_view::npos) return DesktopScheme::light;
    return DesktopScheme::unknown;
}

DesktopScheme desktopSchemeFromKde(std::string_view schemeName) {
    if (schemeName.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        return DesktopScheme::unknown;
    }
    const bool dark = schemeName.find("Dark") != std::string_view::npos ||
                      schemeName.find("dark") != std::string_view::npos;
    return dark ? DesktopScheme::dark : DesktopScheme::light;
}

DesktopScheme desktopSchemeFromWindowLightness(int lightness) {
    return lightness < 128 ? DesktopScheme::dark : DesktopScheme::light;
}

ColorScheme effectiveColorScheme(AppTheme theme, DesktopScheme desktop) {
    if (const auto forced = colorScheme(theme)) return *forced;
    return desktop == DesktopScheme::dark ? ColorScheme::dark : ColorScheme::light;
}

}  // namespace nimbra
