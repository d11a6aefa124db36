#include "shell/autostart_entry.hpp"

#include <filesystem>
#include <string>
#include <utility>

#include "base/atomic_file.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "shell/app_id.hpp"

namespace nimbra::shell {
namespace {

// An Exec argument in double quotes, with the four characters that stay special inside them
// escaped; then every backslash doubled once more, since Exec is itself a string value.
std::string execArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

AutostartEntry::AutostartEntry(std::filesystem::path program) : program_(std::move(program)) {}

std::filesystem::path AutostartEntry::path() const {
    return paths::configHome() / "autostart" / (std::string(kAppId) + ".desktop");
}

bool AutostartEntry::enabled() const {
    // Read on the GUI thread: a FIFO or device planted there would block it, so only a plain
    // file counts as an entry.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path(), error)) return false;
    const std::optional<std::string> entry = readWholeFile(path());
    if (!entry) return false;
    for (const std::string& line : text::splitLines(*entry)) {
        if (text::trim(line) == "Hidden=true") return false;
    }
    return true;
}

void AutostartEntry::setEnabled(bool on) const {
    if (!on) {
        std::filesystem::remove(path());
        return;
    }
    std::filesystem::create_directories(path().parent_path());
    writeFileAtomically(path(), text());
}

std::string AutostartEntry::text() const {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Nimbra\n"
           "Comment=Cloudflare WARP client, started with the window hidden\n"
           "Exec=" +
           execArgument(program_.string()) +
           " --hidden\n"
           "Icon=nimbra\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

}  // namespace nimbra::shell
