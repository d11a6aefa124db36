#include "observe/interface_byte_counters.hpp"

#include <ifaddrs.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "system/platform_profile.hpp"

#ifdef __APPLE__
#include <net/if.h>
#include <net/if_dl.h>
#else
#include <linux/if_link.h>
#include <linux/if_packet.h>
#endif

namespace nimbra {
namespace {

struct FreeIfaddrs {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

// The link-level counters an entry carries, if it is the link entry of its interface.
std::optional<ByteCounts> linkCounters(const ifaddrs& entry) {
    if (entry.ifa_data == nullptr) return std::nullopt;
#ifdef __APPLE__
    if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_LINK) return std::nullopt;
    const auto* data = static_cast<const if_data*>(entry.ifa_data);
    return ByteCounts{static_cast<std::int64_t>(data->ifi_ibytes),
                      static_cast<std::int64_t>(data->ifi_obytes)};
#else
    // glibc hangs the interface's rtnl_link_stats (32-bit counters) off the link entry, and only
    // there. Its ifa_addr is the link-layer address, which a TUN interface (nimbrad's) has none
    // of: then it is null, and the entry still carries the counters.
    if (entry.ifa_addr != nullptr && entry.ifa_addr->sa_family != AF_PACKET) return std::nullopt;
    const auto* stats = static_cast<const rtnl_link_stats*>(entry.ifa_data);
    return ByteCounts{static_cast<std::int64_t>(stats->rx_bytes),
                      static_cast<std::int64_t>(stats->tx_bytes)};
#endif
}

}  // namespace

ByteCounts InterfaceByteCounters::sample(const std::optional<std::string>& interfaceName) {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0 || raw == nullptr) return {};
    const std::unique_ptr<ifaddrs, FreeIfaddrs> list(raw);

    const bool named = interfaceName && !interfaceName->empty();
    const std::string& prefix = PlatformProfile::current().tunnelInterfacePrefix;
    ByteCounts total;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) continue;
        if (named) {
            if (*interfaceName != entry->ifa_name) continue;
            if (auto counts = linkCounters(*entry)) return *counts;
            continue;
        }
        if (std::strncmp(entry->ifa_name, prefix.c_str(), prefix.size()) != 0) continue;
        auto counts = linkCounters(*entry);
        if (!counts || (counts->rx == 0 && counts->tx == 0)) continue;
        total.rx += counts->rx;
        total.tx += counts->tx;
    }
    return total;
}

}  // namespace nimbra
