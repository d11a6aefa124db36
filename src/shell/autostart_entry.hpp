#pragma once

#include <filesystem>

namespace nimbra::shell {

// Starting Nimbra at login, the XDG way: an autostart entry of ours in
// $XDG_CONFIG_HOME/autostart/<app id>.desktop that runs this program with its window hidden.
// A copy the user switched off (Hidden=true, as desktops do) counts as off.
class AutostartEntry {
public:
    // The entry for `program`, normally this process's own executable.
    explicit AutostartEntry(std::filesystem::path program);

    std::filesystem::path path() const;
    bool enabled() const;
    // Writes the entry (atomically) or removes it; throws std::filesystem::filesystem_error or
    // std::system_error when the folder cannot be written.
    void setEnabled(bool on) const;

    // The entry's text; `program` quoted by the Desktop Entry rules for Exec.
    std::string text() const;

private:
    std::filesystem::path program_;
};

}  // namespace nimbra::shell
