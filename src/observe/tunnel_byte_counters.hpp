#pragma once

#include <optional>
#include <string>

#include "observe/byte_counter_source.hpp"
#include "observe/interface_byte_counters.hpp"
#include "observe/socks_connection_byte_counters.hpp"

namespace nimbra {

// The counters the monitor reads for the tunnel.
//
//  - With an interface name (the real TUN mode, once its interface is known): that interface's
//    link counters, exactly as InterfaceByteCounters reads them.
//  - Without one: the connections of the engine's SOCKS listener plus every tunnel interface.
//    The local SOCKS and system proxy modes have no tunnel interface, so the interfaces alone
//    would show 0 while traffic flows; every byte of those modes passes the SOCKS listener.
//
// The sum mixes a 64-bit total with 32-bit interface counters; when one of those wraps, the sum
// goes backwards once and the monitor shows one zero sample, as for a plain interface.
class TunnelByteCounters final : public ByteCounterSource {
public:
    explicit TunnelByteCounters(int socksPort);

    ByteCounts sample(const std::optional<std::string>& interfaceName) override;

private:
    SocksConnectionByteCounters socks_;
    InterfaceByteCounters interfaces_;
};

}  // namespace nimbra
