#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nimbra::nimbrad {

// What the walk to a program found: where the program really is -- every link on the way
// resolved, so the location names no link at all -- or why root must not run it.
struct ProgramCheck {
    std::filesystem::path location;
    std::optional<std::string> refusal;
};

// Root runs only what nobody else can change. The walk goes from "/" one name at a time
// (openat, O_NOFOLLOW, fstat on what was opened), and everything it passes -- each folder, each
// link, the file itself -- must belong to root; no folder may be writable by others (one with
// the sticky bit, like /tmp, is fine: others cannot rename what root owns there), and the file
// must be an executable regular file that only root can write. A link is followed only after
// the folder holding it passed, so a link the user can re-point is refused, not followed.
//
// Because every folder on `location` is root's alone, only root can change what that location
// names: running it right after the check runs the file that passed.
ProgramCheck checkProgram(const std::filesystem::path& program);

// Why root must not run `program`, or nothing when it may.
std::optional<std::string> refuseUntrustedProgram(const std::filesystem::path& program);

}  // namespace nimbra::nimbrad
