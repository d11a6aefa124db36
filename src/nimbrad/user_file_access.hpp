#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra::nimbrad {

// The configuration and registration files live in the user's own folders. A daemon running as
// root that opened them with its own rights could be steered by a symbolic link into reading or
// overwriting any file on the machine, so every access to them runs with the file-system
// identity of the folder's owner (setfsuid/setfsgid, which hold for the calling thread only):
// the kernel then grants exactly what that user could do.

// The whole file, read as the owner of its folder; nothing when that user could not read it.
std::optional<std::string> readAsFolderOwner(const std::filesystem::path& file);
// Replaces the file atomically as the owner of its folder. Throws std::system_error.
void writeAsFolderOwner(const std::filesystem::path& file, std::string_view contents);

// While alive, the calling thread's file-system identity is `uid`/`gid`.
class FileSystemIdentity {
public:
    FileSystemIdentity(uid_t uid, gid_t gid);
    ~FileSystemIdentity();
    FileSystemIdentity(const FileSystemIdentity&) = delete;
    FileSystemIdentity& operator=(const FileSystemIdentity&) = delete;

private:
    uid_t previousUid_;
    gid_t previousGid_;
};

}  // namespace nimbra::nimbrad
