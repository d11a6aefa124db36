#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <optional>
#include <string>

#include "host_map.hpp"

namespace nimbra::standin {

// Accepts SOCKS5 clients on one address and hands each to its own Socks5Session.
class Socks5Server {
public:
    Socks5Server(asio::io_context& io, const HostMap& hosts);

    // Binds and starts accepting. On failure returns the step and the error the way Go words
    // them, e.g. "bind: address already in use".
    std::optional<std::string> listen(const asio::ip::tcp::endpoint& endpoint);

    // Stops accepting and releases the port; sessions already running are not affected.
    void close();

    // The listening socket, for handing a copy to another process.
    int nativeHandle() { return acceptor_.native_handle(); }

private:
    void accept();

    asio::ip::tcp::acceptor acceptor_;
    const HostMap& hosts_;
};

}  // namespace nimbra::standin
