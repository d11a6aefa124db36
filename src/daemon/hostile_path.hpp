#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "base/unique_fd.hpp"

// How the root helper reaches files, when every path it is given and every folder a user can
// write is hostile. A path string checked and then opened by name can be swapped for a link in
// between; so no path is ever followed through a link, every folder is opened as a descriptor
// (O_DIRECTORY|O_NOFOLLOW) one component at a time from "/", and each file is reached with openat
// relative to a folder already checked, then judged by fstat of what was actually opened.
namespace nimbra::hostile_path {

// A path or file that fails a check. The helper reports it as a refusal: nothing was changed.
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Longer paths are refused outright: no real data folder or program is near it, and every path
// ends up on one line of a unit file.
inline constexpr std::size_t kMaxPathLength = 1024;

// Throws Refused unless `text` is an absolute path of at most kMaxPathLength bytes with no
// control character, no empty, "." or ".." component and no trailing slash. `what` names it in
// the message.
void checkPathText(const std::string& text, const std::string& what);

// A folder only root can change: every folder from "/" down is owned by root and writable by
// no one else, or sticky (like /tmp: no one else may rename root's entries in it). With
// `create`, missing folders are made (0755, root's). Throws Refused.
UniqueFd openRootFolder(const std::filesystem::path& folder, bool create);

// The invoking user's own folder or file, reached with their file-system identity (setfsuid):
// root's right to read everything is not lent to them. Each component is opened without following
// a link, the last one must be owned by `uid` (a file may be root's too) and be a folder or a
// regular file as asked (a FIFO
// or device is never opened for reading: O_NONBLOCK, then fstat), no larger than `maxSize`.
// Throws Refused.
struct User {
    uid_t uid = 0;
    gid_t gid = 0;
};
UniqueFd openUserFolder(const std::filesystem::path& folder, const User& user);
UniqueFd openUserFile(const std::filesystem::path& file, const User& user, std::uint64_t maxSize);

// Replaces `name` in `folder` (a descriptor from openRootFolder) by the given bytes or by a
// copy of `source` (read from its current offset, at most `maxSize` bytes): a new file of
// root's, `mode`, written, synced and renamed over the old one, so the service never starts a
// half-written program or unit. Throws std::system_error.
void replaceWithText(int folder, const std::string& name, const std::string& text, mode_t mode);
void replaceWithCopy(int folder, const std::string& name, int source, mode_t mode,
                     std::uint64_t maxSize);

// Removes `name` from `folder`; a missing one is not an error. Throws std::system_error.
void removeIfPresent(int folder, const std::string& name);

}  // namespace nimbra::hostile_path
