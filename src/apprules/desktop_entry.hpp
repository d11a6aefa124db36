#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nimbra::apprules {

// What Nimbra needs from one desktop entry (a `.desktop` file of the freedesktop.org Desktop
// Entry format), read from its [Desktop Entry] group. Texts are already unescaped (\s \n \t \r
// \\ of the format), so `exec` is the command line as the format's quoting rules see it.
struct DesktopEntry {
    std::string path;        // the file it was read from
    std::string id;          // desktop-file id: path below an applications folder, '/' -> '-'
    std::string name;        // Name, localized when asked for and present
    std::string type;        // Type ("Application", "Link", ...)
    std::string exec;        // Exec, field codes still in it
    std::string tryExec;     // TryExec, may be empty
    std::string icon;        // Icon: a theme name or an absolute path
    std::string workingDir;  // Path=
    bool terminal = false;   // Terminal=true
    bool noDisplay = false;  // NoDisplay=true
    bool hidden = false;     // Hidden=true (the entry counts as deleted)
    std::string flatpakId;   // X-Flatpak: the Flatpak application id, when exported by Flatpak
    // OnlyShowIn= / NotShowIn=: the desktops (XDG_CURRENT_DESKTOP names) the entry is meant for.
    std::vector<std::string> onlyShowIn;
    std::vector<std::string> notShowIn;
};

// Reads one desktop entry. `locale` picks the localized Name ("zh_CN" tries Name[zh_CN], then
// Name[zh], then Name); empty takes the untranslated one. `id` is given by the caller, which
// knows the applications folder the file was found in (empty for a file chosen from disk).
// None when the file cannot be read, is not a regular file of at most 1 MiB, is not in the format
// (malformed lines, bad escapes, no [Desktop Entry] group) or has no Name; never throws for bad
// content.
std::optional<DesktopEntry> readDesktopEntry(const std::string& path, const std::string& id,
                                             const std::string& locale);

}  // namespace nimbra::apprules
