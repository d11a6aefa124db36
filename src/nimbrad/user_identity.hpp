#pragma once

#include <sys/types.h>

#include <vector>

namespace nimbra::nimbrad {

// The one user whose files nimbrad reads and writes, and whose rights it borrows to do so.
struct UserIdentity {
    uid_t uid;
    gid_t gid;  // the account's primary group
};

// The first allowed uid with its primary group. Throws UserFileError when there is none, when it
// is root (root's rights are exactly what a user file must never be reached with) or when no
// account has that uid.
UserIdentity userIdentityFor(const std::vector<uid_t>& allowedUids);

}  // namespace nimbra::nimbrad
