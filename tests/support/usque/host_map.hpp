#pragma once

#include <asio/ip/tcp.hpp>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra::standin {

// Names the SOCKS server resolves itself instead of asking the system resolver, from
// USQUE_STANDIN_HOSTS: "host=ip[:port],...". An IPv6 address with a port is written [addr]:port.
// Without a port the client's requested port is kept.
class HostMap {
public:
    // Throws std::invalid_argument on an entry it cannot read.
    static HostMap parse(std::string_view list);

    // Names match case-insensitively, a trailing dot ignored.
    std::optional<asio::ip::tcp::endpoint> lookup(std::string_view name,
                                                  std::uint16_t requestedPort) const;

private:
    struct Target {
        asio::ip::address address;
        std::uint16_t port = 0;  // 0: the requested one
    };
    std::map<std::string, Target, std::less<>> targets_;
};

}  // namespace nimbra::standin
