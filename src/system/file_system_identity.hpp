#pragma once

#include <sys/types.h>

#include <stdexcept>

namespace nimbra {

class FileSystemIdentityError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// While alive, the calling thread reaches files as the user `uid` with primary group `gid`
// (setfsuid/setfsgid hold for that thread only): the kernel grants exactly what the user could
// do, and root's capabilities to pass over file permissions are set aside with it.
// Supplementary groups stay the caller's own. Root's programs (nimbrad, the install helper) use
// it to open what a user names without lending the user root's right to read everything.
//
// setfsuid reports the previous identity whether or not the change took (it silently fails
// without CAP_SETUID), so the constructor asks again and throws FileSystemIdentityError, with
// the identity put back, rather than go on as root.
class FileSystemIdentity {
public:
    FileSystemIdentity(uid_t uid, gid_t gid);
    ~FileSystemIdentity();
    FileSystemIdentity(const FileSystemIdentity&) = delete;
    FileSystemIdentity& operator=(const FileSystemIdentity&) = delete;

private:
    void restore() noexcept;

    uid_t previousUid_;
    gid_t previousGid_;
};

}  // namespace nimbra
