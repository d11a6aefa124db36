#pragma once

#include "nimbrad/user_identity.hpp"

namespace nimbra::nimbrad {

// While alive, the calling thread reaches files as `user` (setfsuid/setfsgid hold for that
// thread only): the kernel grants exactly what the user could do, and root's capabilities to
// pass over file permissions are set aside with it. Supplementary groups stay the daemon's own
// (none under systemd).
//
// setfsuid reports the previous identity whether or not the change took (it silently fails
// without CAP_SETUID), so the constructor asks again and throws UserFileError, with the
// identity put back, rather than go on as root.
class FileSystemIdentity {
public:
    explicit FileSystemIdentity(const UserIdentity& user);
    ~FileSystemIdentity();
    FileSystemIdentity(const FileSystemIdentity&) = delete;
    FileSystemIdentity& operator=(const FileSystemIdentity&) = delete;

private:
    void restore() noexcept;

    uid_t previousUid_;
    gid_t previousGid_;
};

}  // namespace nimbra::nimbrad
