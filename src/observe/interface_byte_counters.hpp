#pragma once

#include <optional>
#include <string>

#include "observe/byte_counter_source.hpp"

namespace nimbra {

// The kernel's per-interface link statistics, read from getifaddrs(). The counters are the
// 32-bit received/sent byte counts of the link (struct rtnl_link_stats on Linux, if_data on
// macOS) widened to 64 bits, so they wrap at 4 GiB; the monitor turns a wrap into one zero
// sample.
//
//  - With a name: the first entry of exactly that name that carries link statistics, else (0, 0).
//  - Without a name: the sum over this system's tunnel interfaces (names that begin with the
//    platform profile's tunnel prefix) whose two counters are not both zero.
//  - A list that cannot be read, or is empty, gives (0, 0).
class InterfaceByteCounters final : public ByteCounterSource {
public:
    ByteCounts sample(const std::optional<std::string>& interfaceName) override;
};

}  // namespace nimbra
