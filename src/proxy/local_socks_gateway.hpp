#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <mutex>

#include "model/app_preferences.hpp"
#include "model/timings.hpp"
#include "proxy/local_listener.hpp"
#include "proxy/socks5_wire.hpp"
#include "proxy/tunnel.hpp"
#include "system/process_table.hpp"

namespace nimbra {

// A small SOCKS5 server for real TUN mode: it takes over the local SOCKS port from the engine so
// that applications set up for that port keep working, and connects each destination directly;
// with the daemon's TUN routing the machine, those connections leave through the tunnel.
// CONNECT only, no authentication, IPv4 addresses and host names only.
class LocalSocksGateway {
public:
    explicit LocalSocksGateway(AppPreferences preferences = AppPreferences::standard(),
                               ProcessTable& processes = ProcessTable::system(),
                               Timings timings = Timings::standard(),
                               PumpMethod pumpMethod = preferredPumpMethod());
    LocalSocksGateway(const LocalSocksGateway&) = delete;
    LocalSocksGateway& operator=(const LocalSocksGateway&) = delete;

    // Ends a stale usque still listening on `port`, then listens on 127.0.0.1:port. Returns once
    // ready; throws GatewayError for a port out of range or one that cannot be bound. Blocks for
    // up to the port-free wait while a stale engine lets go. While running returns at once.
    void start(int port);

    // Stops accepting and frees the port; tunnels already relayed go on.
    void stop();

    bool isRunning() const;
    std::uint16_t listenPort() const;

private:
    void freePortFromStaleEngine(int port);
    std::uint16_t exchangeListenPort(std::uint16_t port);
    asio::awaitable<void> serve(asio::ip::tcp::socket& client);
    asio::awaitable<void> connectAndPipe(asio::ip::tcp::socket& client, const socks5::Dest& dest);

    const AppPreferences preferences_;
    ProcessTable& processes_;
    const Timings timings_;
    const PumpMethod pumpMethod_;
    std::mutex lifecycleMutex_;  // serialises start and stop
    mutable std::mutex stateMutex_;
    std::uint16_t listenPort_ = AppPreferences::kDefaultSocksPort;  // guarded by stateMutex_
    // Last, so that its thread has stopped before the state its connections use goes away.
    LocalListener listener_;
};

}  // namespace nimbra
