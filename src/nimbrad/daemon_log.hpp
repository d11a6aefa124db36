#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <vector>

namespace nimbra::nimbrad {

// The daemon's log: each line goes to standard error (the journal, under systemd) and, once
// openLogFile() has succeeded, to the log file as well, with the local time in front.
//
// The log file sits in the user's folder, so it is opened once, at start-up, as a UserFile of
// the user the daemon acts for (the first of `allowedUids`): root must not be tricked into
// creating or appending to a file of its own. Values from the user's files or requests go into
// a line only through quotedForLog.
void openLogFile(const std::filesystem::path& path, const std::vector<uid_t>& allowedUids);
void daemonLog(std::string_view message);

}  // namespace nimbra::nimbrad
