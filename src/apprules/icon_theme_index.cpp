#include "apprules/icon_theme_index.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "base/unique_fd.hpp"

namespace nimbra::apprules {
namespace {

constexpr const char* kThemeGroup = "Icon Theme";
// hicolor's index, the largest a desktop ships, is about 56 KiB.
constexpr off_t kMaxIndexBytes = 1024 * 1024;
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

// The whole file, or none. Opened without blocking and checked to be a regular file first: a
// FIFO or device named index.theme would otherwise stall the lookup (and its thread) forever.
std::optional<std::string> readSmallRegularFile(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > kMaxIndexBytes) {
        return std::nullopt;
    }
    std::string contents(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (filled < contents.size()) {
        const ssize_t got = ::read(fd.get(), contents.data() + filled, contents.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // shrunk while read: keep what is there
        filled += static_cast<std::size_t>(got);
    }
    contents.resize(filled);
    return contents;
}

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
    const std::optional<std::string> contents = readSmallRegularFile(file);
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
