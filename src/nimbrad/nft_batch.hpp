#pragma once

#include <stdexcept>
#include <string>

namespace nimbra::nimbrad {

struct NftError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs `commands` (nft's own syntax, several separated by newlines) through libnftables as ONE
// netlink transaction: the kernel applies all of them or none, so no packet ever meets half a
// table. Throws NftError carrying what nft said (its error lines, joined into one sentence)
// when the commands do not parse or the kernel refuses them.
//
// Works in the calling thread's network namespace and sees cgroup paths under the calling
// thread's /sys/fs/cgroup.
void runNftBatch(const std::string& commands);

}  // namespace nimbra::nimbrad
