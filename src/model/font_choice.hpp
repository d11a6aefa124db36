#pragma once

#include <string>
#include <vector>

#include "model/app_language.hpp"

namespace nimbra {

// The families the window is set in. An empty family means the desktop's default (for `mono`: its
// default monospaced font), used when nothing of a chain is installed.
struct FontChoice {
    std::string interface;
    std::string mono;
};

// Picks, from the families installed on this machine, the first of each fallback chain: Inter for
// the interface (a CJK family first for Chinese, so the Han glyphs are not a per-glyph patchwork
// of whatever fontconfig finds), JetBrains Mono (its static Medium face standing for the variable
// one) for figures and addresses. Family names compare without regard to case.
FontChoice chooseFonts(const std::vector<std::string>& installed, AppLanguage language);

}  // namespace nimbra
