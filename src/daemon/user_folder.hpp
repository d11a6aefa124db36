#pragma once

#include <sys/types.h>

#include <filesystem>

// What the installer creates in the user's home when it runs as root for them (sudo): the daemon
// folder and the first config.yml. Created by root, they would be root's, and the user's own
// client could no longer write its data folder; so each one is handed to the user.
//
// The home is the user's to change while we work in it: between creating a file and handing it
// over, they can put a symbolic link in its place. A plain chown would follow that link and give
// them whatever it points to (/etc/shadow); the hand-over changes the path itself, never a
// link's target.
namespace nimbra::user_folder {

struct Owner {
    uid_t uid = 0;
    gid_t gid = 0;
};

// Gives `path` itself to `owner` (lchown). A failure is logged, not thrown: the install goes on,
// and the client names the file it cannot write.
void handOver(const std::filesystem::path& path, const Owner& owner);

// Creates `folder` with every folder missing above it, and hands each one it created to `owner`.
// Throws std::filesystem::filesystem_error when a folder cannot be created.
void create(const std::filesystem::path& folder, const Owner& owner);

}  // namespace nimbra::user_folder
