#include "apprules/desktop_entry.hpp"

#include <glib.h>

#include <memory>

#include "apprules/bounded_read.hpp"

namespace nimbra::apprules {
namespace {

constexpr const char* kGroup = "Desktop Entry";
// Real entries are a few KiB, translations included; anything far larger is not one, and GLib
// would hold all of it in memory.
constexpr std::size_t kMaxEntryBytes = 1024 * 1024;

struct KeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;

// GLib hands out strings the caller frees; none for a key that is absent or not text.
std::string take(gchar* text) {
    if (text == nullptr) return {};
    std::string copy(text);
    g_free(text);
    return copy;
}

std::string text(GKeyFile* file, const char* key) {
    return take(g_key_file_get_string(file, kGroup, key, nullptr));
}

std::vector<std::string> list(GKeyFile* file, const char* key) {
    std::vector<std::string> values;
    gchar** texts = g_key_file_get_string_list(file, kGroup, key, nullptr, nullptr);
    for (gchar** text = texts; text != nullptr && *text != nullptr; ++text) {
        values.emplace_back(*text);
    }
    g_strfreev(texts);
    return values;
}

bool flag(GKeyFile* file, const char* key) {
    return g_key_file_get_boolean(file, kGroup, key, nullptr) != FALSE;
}

}  // namespace

std::optional<DesktopEntry> readDesktopEntry(const std::string& path, const std::string& id,
                                             const std::string& locale) {
    // GLib's key-file reader implements the format (groups, escapes, Key[locale] lookup with
    // its fallbacks) and reports malformed content as an error instead of guessing.
    // The bytes are read here, bounded and without blocking on a FIFO, before GLib sees them.
    const auto content = readSmallRegularFile(path, kMaxEntryBytes);
    KeyFile file(g_key_file_new());
    if (!content ||
        !g_key_file_load_from_data(file.get(), content->data(), content->size(),
                                   G_KEY_FILE_KEEP_TRANSLATIONS, nullptr) ||
        !g_key_file_has_group(file.get(), kGroup)) {
        return std::nullopt;
    }
    DesktopEntry entry;
    entry.path = path;
    entry.id = id;
    entry.name = take(g_key_file_get_locale_string(file.get(), kGroup, "Name",
                                                   locale.empty() ? "C" : locale.c_str(), nullptr));
    if (entry.name.empty()) return std::nullopt;
    entry.type = text(file.get(), "Type");
    entry.exec = text(file.get(), "Exec");
    entry.tryExec = text(file.get(), "TryExec");
    entry.icon = text(file.get(), "Icon");
    entry.workingDir = text(file.get(), "Path");
    entry.terminal = flag(file.get(), "Terminal");
    entry.noDisplay = flag(file.get(), "NoDisplay");
    entry.hidden = flag(file.get(), "Hidden");
    entry.flatpakId = text(file.get(), "X-Flatpak");
    entry.onlyShowIn = list(file.get(), "OnlyShowIn");
    entry.notShowIn = list(file.get(), "NotShowIn");
    return entry;
}

}  // namespace nimbra::apprules
