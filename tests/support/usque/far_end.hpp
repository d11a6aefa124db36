#pragma once

#include <string>

#include "base/unique_fd.hpp"

// The provider's end of the stand-in's tunnel: a TUN interface ("warp0") in the namespace that
// stands for the provider, with routes back to the tunnel's addresses through it.
//
// It is made by a server that the namespace world starts inside that namespace (`usque far-end`),
// and handed to `nativetun` over a Unix socket (SCM_RIGHTS). nativetun itself then needs nothing
// but what the real usque needs (a TUN device of its own, netlink), so it runs under the daemon's
// confined capability set; entering another network namespace would take CAP_SYS_ADMIN.
namespace nimbra::standin {

// `usque far-end --socket <path>`: listens on `path`, prints "listening", then serves one
// request at a time until killed. Returns the exit status.
int runFarEnd(const std::string& socketPath);

// Asks the server at `socketPath` for a far end routing back to `ipv4` and `ipv6` (empty: none).
// The interface lives as long as the returned descriptor. Throws std::runtime_error.
UniqueFd fetchFarEnd(const std::string& socketPath, const std::string& ipv4,
                     const std::string& ipv6);

}  // namespace nimbra::standin
