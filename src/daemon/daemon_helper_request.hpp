#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "daemon/hostile_path.hpp"

// What the root helper is asked to do, read from a command line and an environment that its
// unprivileged caller chose. Only two requests exist; any other argument list is refused whole,
// before anything is opened.
namespace nimbra::daemon_helper {

inline constexpr const char* kUsage =
    "usage: nimbra-daemon-helper install <nimbra-data-folder> [<usque>] | uninstall";

struct Request {
    enum class Verb { install, uninstall };
    Verb verb = Verb::uninstall;
    // install: the user's Nimbra data folder (the daemon's config, log and usque's
    // registration live in it), and the usque of theirs the service is to run a copy of.
    std::filesystem::path workDirectory;
    std::optional<std::filesystem::path> usque;
};

// Throws hostile_path::Refused (one line) for any other list, or a path that is not plain and
// absolute.
Request parseArguments(const std::vector<std::string>& arguments);

// The user pkexec ran us for: PKEXEC_UID (`pkexecUid`, null when unset), which pkexec sets from
// the caller's real uid. Throws hostile_path::Refused when not running as root, or when the
// value is missing, not a plain number, or names no account.
hostile_path::User invokingUser(const char* pkexecUid, uid_t effectiveUid);

}  // namespace nimbra::daemon_helper
