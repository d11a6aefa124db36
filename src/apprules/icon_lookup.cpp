#include "apprules/icon_lookup.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

#include "apprules/app_scan_environment.hpp"
#include "apprules/icon_theme_index.hpp"
#include "base/paths.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;

// Themes visited in one lookup, parents included. Real chains are two or three deep
// (Yaru -> Humanity -> Adwaita -> hicolor); the bound also ends an inheritance loop.
constexpr std::size_t kMaxThemes = 12;
constexpr int kMaxIconPixels = 4096;
// In order of preference.
constexpr std::array<std::string_view, 3> kExtensions{".png", ".svg", ".xpm"};

bool isReadableFile(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           ::access(path.c_str(), R_OK) == 0;
}

bool isDirectory(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// A theme or icon name is used as one path component: nothing that could climb out of its folder.
bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// Older entries name the file ("firefox.png"); themes hold the name without its extension.
std::string_view withoutImageExtension(std::string_view icon) {
    for (std::string_view extension : kExtensions) {
        if (icon.size() > extension.size() && icon.ends_with(extension)) {
            return icon.substr(0, icon.size() - extension.size());
        }
    }
    return icon;
}

// One lookup of one icon name through themes, each theme at most once.
class ThemeSearch {
public:
    ThemeSearch(std::string_view name, int pixels, const IconSearchPaths& paths)
        : name_(name), pixels_(pixels), paths_(paths) {}

    std::optional<fs::path> find(std::string_view theme) {
        if (!isPlainName(theme) || visited_.size() >= kMaxThemes ||
            !visited_.emplace(theme).second) {
            return std::nullopt;
        }
        const std::optional<IconThemeIndex> index = indexOf(theme);
        if (!index) return std::nullopt;
        if (auto found = lookIn(theme, *index)) return found;
        for (const std::string& parent : index->inherits) {
            if (auto found = find(parent)) return found;
        }
        return std::nullopt;
    }

private:
    // A theme's index lives in the first root that has one; its folders may be spread over all.
    std::optional<IconThemeIndex> indexOf(std::string_view theme) const {
        for (const fs::path& root : paths_.themeRoots) {
            if (auto index = readIconThemeIndex(root / theme / "index.theme")) return index;
        }
        return std::nullopt;
    }

    // The first file in a folder of matching size, else the one of the closest size; a single
    // pass returns what the format's two passes (exact, then closest) would.
    std::optional<fs::path> lookIn(std::string_view theme, const IconThemeIndex& index) const {
        std::optional<fs::path> closest;
        long long closestDistance = std::numeric_limits<long long>::max();
        for (const IconThemeDirectory& directory : index.directories) {
            for (const fs::path& root : paths_.themeRoots) {
                const fs::path folder = root / theme / directory.subdir;
                if (!isDirectory(folder)) continue;
                for (std::string_view extension : kExtensions) {
                    fs::path file = folder / (name_ + std::string(extension));
                    if (!isReadableFile(file)) continue;
                    if (directory.matches(pixels_)) return file;
                    const long long distance = directory.distance(pixels_);
                    if (distance < closestDistance) {
                        closest = std::move(file);
                        closestDistance = distance;
                    }
                }
            }
        }
        return closest;
    }

    std::string name_;
    int pixels_;
    const IconSearchPaths& paths_;
    std::set<std::string, std::less<>> visited_;
};

std::optional<fs::path> findUnthemed(std::string_view name, const IconSearchPaths& paths) {
    for (const fs::path& root : paths.pixmapRoots) {
        for (std::string_view extension : kExtensions) {
            fs::path file = root / (std::string(name) + std::string(extension));
            if (isReadableFile(file)) return file;
        }
    }
    return std::nullopt;
}

}  // namespace

IconSearchPaths IconSearchPaths::fromEnvironment() {
    IconSearchPaths paths;
    try {
        const AppScanEnvironment environment = AppScanEnvironment::fromProcess();
        paths.themeRoots.push_back(environment.dataHome / "icons");
        paths.themeRoots.push_back(paths::homeDirectory() / ".icons");
        for (const fs::path& data : environment.dataDirs) {
            paths.themeRoots.push_back(data / "icons");
        }
    } catch (const std::runtime_error&) {
        // No home directory at all: the system's own icons are still worth showing.
        paths.themeRoots = {"/usr/local/share/icons", "/usr/share/icons"};
    }
    paths.pixmapRoots.push_back("/usr/share/pixmaps");
    return paths;
}

std::optional<fs::path> findIconFile(std::string_view icon, int pixels, std::string_view theme,
                                     const IconSearchPaths& paths) {
    const fs::path asPath(icon);
    if (asPath.is_absolute()) {
        if (icon.find('\0') == std::string_view::npos && isReadableFile(asPath)) return asPath;
        return std::nullopt;
    }
    const std::string_view name = withoutImageExtension(icon);
    if (!isPlainName(name)) return std::nullopt;
    ThemeSearch search(name, std::clamp(pixels, 1, kMaxIconPixels), paths);
    if (auto found = search.find(theme)) return found;
    if (auto found = search.find(kFallbackIconTheme)) return found;
    return findUnthemed(name, paths);
}

}  // namespace nimbra::apprules
