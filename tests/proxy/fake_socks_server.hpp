#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/loopback_peer.hpp"

namespace nimbra::testing {

// A SOCKS5 upstream for the relay's tests. It records every CONNECT request it receives and,
// once it has granted one, acts as the destination itself (an echo server, or a flood).
class FakeSocksServer {
public:
    enum class Mode {
        grantThenEcho,   // 05 00 reply with an IPv4 bound address, then echo
        grantWithName,   // 05 00 reply with a name-type bound address, then echo
        grantThenFlood,  // grant, then send as fast as the other side takes it
        refuse,          // 05 05 (connection refused)
        garbage,         // an HTTP answer instead of a method selection
        stall,           // accept and never answer
    };

    explicit FakeSocksServer(Mode mode = Mode::grantThenEcho);

    int port() const { return server_.port(); }
    // The CONNECT requests received so far, each from its version byte to its port.
    std::vector<std::string> requests();
    // Bytes the flood got into the socket before the other side stopped taking them.
    std::size_t flooded();

private:
    void session(TestConnection& connection);

    Mode mode_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::size_t flooded_ = 0;
    TestServer server_;
};

}  // namespace nimbra::testing
