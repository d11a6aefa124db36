#pragma once

#include "model/app_theme.hpp"

namespace nimbra {

// One colour, each channel 0 to 1.
struct Rgb {
    double red;
    double green;
    double blue;
};

// Every colour the window uses, by role.
struct Palette {
    Rgb windowBg;
    Rgb sidebarBg;
    Rgb cardBg;
    Rgb cardBgSecondary;
    Rgb border;
    Rgb text;
    Rgb textMuted;
    Rgb accent;      // selection, links
    Rgb accentDeep;  // prominent buttons
    Rgb emerald;     // connected
    Rgb amber;       // busy, warning
    Rgb coral;       // error
    Rgb idle;        // an idle status, a disabled button
    Rgb onAccent;    // text on a prominent button
    Rgb noticeBg;
    Rgb noticeBorder;
    Rgb tipBg;
    Rgb tipBorder;
};

// The program's own dark palette; the status colours are the bright ones the dark cards need.
inline constexpr Palette kDarkPalette{
    .windowBg = {0.055, 0.062, 0.086},
    .sidebarBg = {0.043, 0.047, 0.07},
    .cardBg = {0.09, 0.1, 0.138},
    .cardBgSecondary = {0.118, 0.13, 0.176},
    .border = {0.17, 0.19, 0.25},
    .text = {0.91, 0.93, 0.96},
    .textMuted = {0.58, 0.62, 0.7},
    .accent = {0.38, 0.78, 1.0},
    .accentDeep = {0.16, 0.42, 0.96},
    .emerald = {0.22, 0.92, 0.72},
    .amber = {1.0, 0.74, 0.32},
    .coral = {1.0, 0.38, 0.42},
    .idle = {0.36, 0.4, 0.48},
    .onAccent = {1.0, 1.0, 1.0},
    .noticeBg = {0.2, 0.15, 0.07},
    .noticeBorder = {0.45, 0.33, 0.12},
    .tipBg = {0.08, 0.14, 0.24},
    .tipBorder = {0.16, 0.3, 0.5},
};

// Its light counterpart: the same hues, deepened where they carry text or a thin mark on white so
// they keep a readable contrast.
inline constexpr Palette kLightPalette{
    .windowBg = {0.957, 0.961, 0.969},
    .sidebarBg = {0.925, 0.933, 0.949},
    .cardBg = {1.0, 1.0, 1.0},
    .cardBgSecondary = {0.941, 0.949, 0.961},
    .border = {0.882, 0.894, 0.91},
    .text = {0.122, 0.149, 0.188},
    .textMuted = {0.37, 0.41, 0.46},
    .accent = {0.0, 0.45, 0.8},
    .accentDeep = {0.16, 0.42, 0.96},
    .emerald = {0.05, 0.6, 0.42},
    .amber = {0.8, 0.52, 0.05},
    .coral = {0.85, 0.2, 0.25},
    .idle = {0.6, 0.63, 0.67},
    .onAccent = {1.0, 1.0, 1.0},
    .noticeBg = {1.0, 0.957, 0.878},
    .noticeBorder = {0.937, 0.788, 0.541},
    .tipBg = {0.933, 0.953, 0.984},
    .tipBorder = {0.749, 0.816, 0.918},
};

constexpr const Palette& palette(ColorScheme scheme) {
    return scheme == ColorScheme::dark ? kDarkPalette : kLightPalette;
}

}  // namespace nimbra
