#include "nimbrad/file_system_identity.hpp"

#include <sys/fsuid.h>

#include <string>

#include "nimbrad/user_file_error.hpp"

namespace nimbra::nimbrad {
namespace {

// An invalid id changes nothing and returns the current one.
constexpr auto kAsk = static_cast<uid_t>(-1);

}  // namespace

FileSystemIdentity::FileSystemIdentity(const UserIdentity& user)
    : previousUid_(static_cast<uid_t>(::setfsuid(user.uid))),
      previousGid_(static_cast<gid_t>(::setfsgid(user.gid))) {
    const auto uid = static_cast<uid_t>(::setfsuid(kAsk));
    const auto gid = static_cast<gid_t>(::setfsgid(kAsk));
    if (uid == user.uid && gid == user.gid) return;
    restore();
    throw UserFileError("cannot act as uid " + std::to_string(user.uid) + " gid " +
                        std::to_string(user.gid) +
                        " (is CAP_SETUID/CAP_SETGID missing?); the user's files are left alone");
}

FileSystemIdentity::~FileSystemIdentity() {
    restore();
}

void FileSystemIdentity::restore() noexcept {
    ::setfsgid(previousGid_);
    ::setfsuid(previousUid_);
}

}  // namespace nimbra::nimbrad
