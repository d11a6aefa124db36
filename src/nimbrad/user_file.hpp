#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.hpp"
#include "nimbrad/user_identity.hpp"

namespace nimbra::nimbrad {

// One file in the user's folders (config.yml, the registration, the log), reached by a root
// daemon that must not be steered by the user into any other file.
//
// The folder holding it is reached one step at a time from "/" (openat, O_NOFOLLOW), as the
// user (FileSystemIdentity), and each folder on the way is checked by fstat: owned by root or
// by the user and writable by no one else (a root-owned sticky folder such as /tmp, and the
// user's own primary group, excepted).
// A link, a third user's folder or one others may write to is refused, naming it. The checked
// folder stays open, and every access to the file goes through it, again as the user and never
// through a link: a folder swapped or relinked after the check cannot redirect the access, and
// a read and a rewrite through one UserFile reach one and the same folder.
//
// Every failure throws UserFileError.
class UserFile {
public:
    // config.yml and the registration are small; a larger file is refused rather than read
    // into the daemon's memory.
    static constexpr std::size_t kMaxSize = 1024 * 1024;

    UserFile(const std::filesystem::path& path, const UserIdentity& user);
    // As the user the daemon acts for: the first -allow-uid (userIdentityFor).
    UserFile(const std::filesystem::path& path, const std::vector<uid_t>& allowedUids);

    // The whole file; nothing when it does not exist. A FIFO, a device, a link or a file over
    // kMaxSize is refused without waiting on it.
    std::optional<std::string> read() const;
    // Replaces it atomically with a new file of the user's (mode 0600) renamed over it.
    void replace(std::string_view contents) const;
    // Opened for appending, created (mode 0644) when missing; a regular file only.
    UniqueFd openForAppend() const;

private:
    UniqueFd open(const std::string& name, int flags, mode_t mode) const;
    [[noreturn]] void fail(const std::string& name, std::string_view why, int error = 0) const;

    std::filesystem::path path_;
    std::string name_;
    UserIdentity user_;
    UniqueFd folder_;
};

}  // namespace nimbra::nimbrad
