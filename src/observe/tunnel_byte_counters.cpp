#include "observe/tunnel_byte_counters.hpp"

namespace nimbra {

TunnelByteCounters::TunnelByteCounters(int socksPort) : socks_(socksPort) {}

ByteCounts TunnelByteCounters::sample(const std::optional<std::string>& interfaceName) {
    if (interfaceName && !interfaceName->empty()) return interfaces_.sample(interfaceName);
    const ByteCounts proxied = socks_.sample(std::nullopt);
    const ByteCounts tunnels = interfaces_.sample(std::nullopt);
    return ByteCounts{proxied.rx + tunnels.rx, proxied.tx + tunnels.tx};
}

}  // namespace nimbra
