#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace nimbra::apprules {

// Where icons are looked for, most important first.
struct IconSearchPaths {
    std::vector<std::filesystem::path> themeRoots;   // folders holding icon themes
    std::vector<std::filesystem::path> pixmapRoots;  // folders of unthemed icons, by file name

    // The desktop's: $XDG_DATA_HOME/icons, ~/.icons, each $XDG_DATA_DIRS/icons (default
    // /usr/local/share:/usr/share); unthemed icons in /usr/share/pixmaps. Reads only the
    // environment (and the password database when $HOME is unset).
    static IconSearchPaths fromEnvironment();
};

// Every theme falls back to this one, whether it says so or not.
inline constexpr std::string_view kFallbackIconTheme = "hicolor";

// The image file for a desktop entry's Icon value, wanted at about `pixels` px. An absolute path
// is taken as it is when it names a readable regular file. A name (a trailing .png/.svg/.xpm is
// tolerated) is looked up in `theme`, then along its Inherits chain, then in hicolor, then in
// the pixmap folders: within a theme the first folder whose size matches wins, else the folder
// of the closest size; within a folder .png beats .svg beats .xpm. None when nothing is found
// or the value is neither an absolute path nor a plain name.
// Work is bounded: a limited number of themes per lookup (an inheritance loop ends there), each
// theme's index read once with a size limit, and one existence check per listed folder.
std::optional<std::filesystem::path> findIconFile(std::string_view icon, int pixels,
                                                  std::string_view theme,
                                                  const IconSearchPaths& paths);

}  // namespace nimbra::apprules
