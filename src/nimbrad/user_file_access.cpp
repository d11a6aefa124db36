#include "nimbrad/user_file_access.hpp"

#include <sys/fsuid.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "base/atomic_file.hpp"

namespace nimbra::nimbrad {
namespace {

struct Owner {
    uid_t uid;
    gid_t gid;
};

// The folder's owner; a folder we cannot even stat is treated as nobody's.
Owner folderOwner(const std::filesystem::path& file) {
    struct stat info {};
    const auto folder =
        file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    if (::stat(folder.c_str(), &info) != 0) return {65534, 65534};
    return {info.st_uid, info.st_gid};
}

}  // namespace

// setfsuid returns the previous identity whatever happens; calling it twice is the documented
// way to learn whether the change took.
FileSystemIdentity::FileSystemIdentity(uid_t uid, gid_t gid)
    : previousUid_(static_cast<uid_t>(::setfsuid(uid))),
      previousGid_(static_cast<gid_t>(::setfsgid(gid))) {}

FileSystemIdentity::~FileSystemIdentity() {
    ::setfsgid(previousGid_);
    ::setfsuid(previousUid_);
}

std::optional<std::string> readAsFolderOwner(const std::filesystem::path& file) {
    const Owner owner = folderOwner(file);
    FileSystemIdentity identity(owner.uid, owner.gid);
    return readWholeFile(file);
}

void writeAsFolderOwner(const std::filesystem::path& file, std::string_view contents) {
    const Owner owner = folderOwner(file);
    FileSystemIdentity identity(owner.uid, owner.gid);
    writeFileAtomically(file, contents);
}

}  // namespace nimbra::nimbrad
