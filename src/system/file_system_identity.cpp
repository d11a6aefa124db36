#include "system/file_system_identity.hpp"

#include <sys/fsuid.h>

#include <string>

namespace nimbra {
namespace {

// An invalid id changes nothing and returns the current one.
constexpr auto kAsk = static_cast<uid_t>(-1);

}  // namespace

FileSystemIdentity::FileSystemIdentity(uid_t uid, gid_t gid)
    : previousUid_(static_cast<uid_t>(::setfsuid(uid))),
      previousGid_(static_cast<gid_t>(::setfsgid(gid))) {
    const auto nowUid = static_cast<uid_t>(::setfsuid(kAsk));
    const auto nowGid = static_cast<gid_t>(::setfsgid(kAsk));
    if (nowUid == uid && nowGid == gid) return;
    restore();
    throw FileSystemIdentityError("cannot act as uid " + std::to_string(uid) + " gid " +
                                  std::to_string(gid) + " (is CAP_SETUID/CAP_SETGID missing?)");
}

FileSystemIdentity::~FileSystemIdentity() {
    restore();
}

void FileSystemIdentity::restore() noexcept {
    ::setfsgid(previousGid_);
    ::setfsuid(previousUid_);
}

}  // namespace nimbra
