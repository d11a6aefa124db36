#pragma once

#include <filesystem>
#include <string_view>

namespace nimbra::nimbrad {

// The daemon's log: each line goes to standard error (the journal, under systemd) and, once
// openLogFile() has succeeded, to the log file as well, with the local time in front.
//
// The log file sits in the user's folder, so it is opened as that folder's owner and never
// through a symbolic link: root must not be tricked into appending to a file of its own.
void openLogFile(const std::filesystem::path& path);
void daemonLog(std::string_view message);

}  // namespace nimbra::nimbrad
