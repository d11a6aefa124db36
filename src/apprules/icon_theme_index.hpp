#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace nimbra::apprules {

// One folder of an icon theme and the icon sizes it serves, from its own group in index.theme
// (freedesktop.org Icon Theme format). Sizes are in pixels at the folder's scale.
struct IconThemeDirectory {
    enum class Kind { fixed, scalable, threshold };

    std::string subdir;  // relative to the theme's folder, e.g. "32x32/apps"
    Kind kind = Kind::threshold;
    int size = 0;
    int scale = 1;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;

    // True when an icon wanted at `pixels` (scale 1) may be taken from this folder as it is.
    bool matches(int pixels) const;
    // How far this folder's icons are from `pixels`, in device pixels; 0 when they match.
    long long distance(int pixels) const;
};

struct IconThemeIndex {
    std::vector<IconThemeDirectory> directories;  // in the order index.theme lists them
    std::vector<std::string> inherits;            // parent theme names, in order
};

// Reads a theme's index.theme. None when the file is missing, is not a regular file, is larger
// than a theme index ever is, or is not a key file with an [Icon Theme] group. Folders without a
// Size, and folders that would leave the theme's own folder, are left out.
std::optional<IconThemeIndex> readIconThemeIndex(const std::filesystem::path& file);

}  // namespace nimbra::apprules
