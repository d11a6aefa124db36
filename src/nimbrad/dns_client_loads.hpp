#pragma once

#include <asio/ip/udp.hpp>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace nimbra::nimbrad {

// How the forwarder's queries in flight are spread over its UDP clients (address and port), so
// that when its budget is spent the client holding the most of it gives up its oldest query,
// instead of every newcomer being turned away: one client flooding a slow upstream must not
// starve the rest of the machine. Queries are the forwarder's slot numbers. Every operation is
// constant time (a hash look-up for the client), since it runs for every query.
class DnsClientLoads {
public:
    // Records `slot` (not recorded yet) as `client`'s newest query.
    void add(std::uint32_t slot, const asio::ip::udp::endpoint& client);
    // Forgets `slot`, as it is answered, timed out or evicted. Does nothing for one not recorded.
    void remove(std::uint32_t slot);
    // The oldest query of a client with the most queries in flight; nullopt when there are none.
    std::optional<std::uint32_t> oldestOfHeaviest() const;

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    struct Client {
        asio::ip::udp::endpoint endpoint;
        std::uint32_t count = 0;
        // Its queries, oldest first, linked through `slots_`.
        std::uint32_t oldest = kNone;
        std::uint32_t newest = kNone;
        // The other clients with as many queries in flight.
        std::uint32_t previousPeer = kNone;
        std::uint32_t nextPeer = kNone;
    };
    struct SlotLink {
        std::uint32_t client = kNone;
        std::uint32_t older = kNone;
        std::uint32_t newer = kNone;
    };

    std::uint32_t clientFor(const asio::ip::udp::endpoint& endpoint);
    void leaveGroup(std::uint32_t client);
    void joinGroup(std::uint32_t client);
    // Drops the clients with nothing in flight, once there are many: keeping them for a while
    // spares a hash-table allocation per query for a client that asks again and again.
    void sweepIdle();

    std::vector<Client> clients_;
    std::vector<std::uint32_t> freeClients_;
    std::unordered_map<asio::ip::udp::endpoint, std::uint32_t> byEndpoint_;
    std::vector<SlotLink> slots_;
    // groups_[n]: the first of the clients with n queries in flight (n >= 1).
    std::vector<std::uint32_t> groups_ = std::vector<std::uint32_t>(1, kNone);
    std::size_t heaviest_ = 0;  // the largest n with a client in groups_[n]
    std::size_t idle_ = 0;      // clients kept with nothing in flight
};

}  // namespace nimbra::nimbrad
