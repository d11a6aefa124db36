#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "apprules/desktop_entry.hpp"

namespace nimbra::apprules {

// The program an Exec line starts: its first word after the format's quoting is undone, past an
// `env NAME=value ...` prefix (Snap's exported entries start that way; the program that follows
// is the application). "" when the line is empty or its quoting is broken.
std::string programOfExec(const std::string& exec);

// The program an entry names: TryExec when it has one (it exists to name the installed binary),
// else the program of Exec.
std::string entryProgram(const DesktopEntry& entry);

// Where `program` is, as the launcher's exec would find it: a path containing '/' must be
// absolute and name an executable regular file; a bare name is looked for in each absolute
// folder of `searchPath` (a PATH value) in order. Relative folders in PATH, and "" (the current
// folder), are ignored: what they find depends on where the scan happens to run.
std::optional<std::filesystem::path> findProgram(const std::string& program,
                                                 std::string_view searchPath);

}  // namespace nimbra::apprules
