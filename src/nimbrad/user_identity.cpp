#include "nimbrad/user_identity.hpp"

#include <pwd.h>

#include <string>
#include <vector>

#include "nimbrad/user_file_error.hpp"

namespace nimbra::nimbrad {

UserIdentity userIdentityFor(const std::vector<uid_t>& allowedUids) {
    if (allowedUids.empty())
        throw UserFileError(
            "no -allow-uid given: nimbrad touches no user file without knowing "
            "whose it is");
    const uid_t uid = allowedUids.front();
    if (uid == 0)
        throw UserFileError(
            "the first -allow-uid is root: user files are never reached with "
            "root's rights");
    passwd account{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &account, buffer.data(), buffer.size(), &found) != 0 || !found)
        throw UserFileError("uid " + std::to_string(uid) +
                            " (the first -allow-uid) has no account");
    return {uid, account.pw_gid};
}

}  // namespace nimbra::nimbrad
