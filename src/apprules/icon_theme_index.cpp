#include "apprules/icon_theme_index.hpp"

#include <glib.h>

#include <algorithm>
#include <memory>

#include "apprules/bounded_read.hpp"

namespace nimbra::apprules {
namespace {

constexpr const char* kThemeGroup = "Icon Theme";
// hicolor's index, the largest a desktop ships, is about 56 KiB.
constexpr std::size_t kMaxIndexBytes = 1024 * 1024;
// hicolor lists about 650 folders; a theme listing far more costs a check per folder per lookup.
constexpr std::size_t kMaxDirectories = 4096;
// Sizes beyond any icon's keep size * scale far from overflow.
constexpr int kMaxPixels = 65536;

struct KeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;

struct StringsFree {
    void operator()(gchar** strings) const { g_strfreev(strings); }
};

std::vector<std::string> stringList(GKeyFile* file, const char* group, const char* key) {
    std::unique_ptr<gchar*, StringsFree> list(
        g_key_file_get_string_list(file, group, key, nullptr, nullptr));
    std::vector<std::string> values;
    if (!list) return values;
    for (gchar** item = list.get(); *item != nullptr; ++item) {
        if (**item != '\0') values.emplace_back(*item);
    }
    return values;
}

// Absent or malformed integers read as `fallback`.
int integer(GKeyFile* file, const char* group, const char* key, int fallback) {
    GError* error = nullptr;
    const gint value = g_key_file_get_integer(file, group, key, &error);
    if (error != nullptr) {
        g_error_free(error);
        return fallback;
    }
    return std::clamp(value, 0, kMaxPixels);
}

IconThemeDirectory::Kind kindOf(GKeyFile* file, const char* group) {
    std::unique_ptr<gchar, decltype(&g_free)> type(
        g_key_file_get_string(file, group, "Type", nullptr), &g_free);
    if (!type) return IconThemeDirectory::Kind::threshold;
    const std::string_view name(type.get());
    if (name == "Fixed") return IconThemeDirectory::Kind::fixed;
    if (name == "Scalable") return IconThemeDirectory::Kind::scalable;
    return IconThemeDirectory::Kind::threshold;
}

// A folder named "../x" or "/x" would take the lookup outside the theme.
bool staysInsideTheme(const std::string& subdir) {
    const std::filesystem::path path(subdir);
    if (path.is_absolute()) return false;
    return std::none_of(path.begin(), path.end(), [](const auto& part) { return part == ".."; });
}

std::optional<IconThemeDirectory> directoryOf(GKeyFile* file, const std::string& subdir) {
    const char* group = subdir.c_str();
    IconThemeDirectory directory;
    directory.subdir = subdir;
    directory.size = integer(file, group, "Size", 0);
    if (directory.size <= 0 || !staysInsideTheme(subdir)) return std::nullopt;
    directory.kind = kindOf(file, group);
    directory.scale = std::max(1, integer(file, group, "Scale", 1));
    directory.minSize = integer(file, group, "MinSize", directory.size);
    directory.maxSize = integer(file, group, "MaxSize", directory.size);
    directory.threshold = integer(file, group, "Threshold", 2);
    return directory;
}

}  // namespace

bool IconThemeDirectory::matches(int pixels) const {
    if (scale != 1) return false;
    switch (kind) {
        case Kind::fixed:
            return pixels == size;
        case Kind::scalable:
            return minSize <= pixels && pixels <= maxSize;
        case Kind::threshold:
            return size - threshold <= pixels && pixels <= size + threshold;
    }
    return false;
}

long long IconThemeDirectory::distance(int pixels) const {
    const long long wanted = pixels;
    long long low = static_cast<long long>(size) * scale;
    long long high = low;
    if (kind == Kind::scalable) {
        low = static_cast<long long>(minSize) * scale;
        high = static_cast<long long>(maxSize) * scale;
    } else if (kind == Kind::threshold) {
        low = static_cast<long long>(size - threshold) * scale;
        high = static_cast<long long>(size + threshold) * scale;
    }
    if (wanted < low) return low - wanted;
    if (wanted > high) return wanted - high;
    return 0;
}

std::optional<IconThemeIndex> readIconThemeIndex(const std::filesystem::path& file) {
    // Read without blocking and with a bound: a FIFO or device named index.theme would stall
    // the lookup (and its thread) forever, a huge file would swamp it.
    const std::optional<std::string> contents = readSmallRegularFile(file, kMaxIndexBytes);
    if (!contents) return std::nullopt;
    KeyFile keys(g_key_file_new());
    // Directories= and Inherits= are comma-separated lists in this format.
    g_key_file_set_list_separator(keys.get(), ',');
    if (!g_key_file_load_from_data(keys.get(), contents->data(), contents->size(), G_KEY_FILE_NONE,
                                   nullptr) ||
        !g_key_file_has_group(keys.get(), kThemeGroup)) {
        return std::nullopt;
    }
    IconThemeIndex index;
    index.inherits = stringList(keys.get(), kThemeGroup, "Inherits");
    std::vector<std::string> subdirs = stringList(keys.get(), kThemeGroup, "Directories");
    // Folders for high-density screens, listed apart by GTK's themes.
    for (std::string& scaled : stringList(keys.get(), kThemeGroup, "ScaledDirectories")) {
        subdirs.push_back(std::move(scaled));
    }
    if (subdirs.size() > kMaxDirectories) subdirs.resize(kMaxDirectories);
    for (const std::string& subdir : subdirs) {
        if (auto directory = directoryOf(keys.get(), subdir)) {
            index.directories.push_back(std::move(*directory));
        }
    }
    return index;
}

}  // namespace nimbra::apprules
