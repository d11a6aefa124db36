#include "nimbrad/dns_client_loads.hpp"

namespace nimbra::nimbrad {

void DnsClientLoads::add(std::uint32_t slot, const asio::ip::udp::endpoint& client) {
    const std::uint32_t index = clientFor(client);
    if (slot >= slots_.size()) slots_.resize(slot + 1);
    Client& owner = clients_[index];
    slots_[slot] = {.client = index, .older = owner.newest, .newer = kNone};
    if (owner.newest != kNone) slots_[owner.newest].newer = slot;
    owner.newest = slot;
    if (owner.oldest == kNone) owner.oldest = slot;

    if (owner.count == 0) --idle_;
    leaveGroup(index);
    ++owner.count;
    joinGroup(index);
}

void DnsClientLoads::remove(std::uint32_t slot) {
    if (slot >= slots_.size() || slots_[slot].client == kNone) return;
    const SlotLink link = slots_[slot];
    slots_[slot] = {};
    Client& owner = clients_[link.client];
    (link.older != kNone ? slots_[link.older].newer : owner.oldest) = link.newer;
    (link.newer != kNone ? slots_[link.newer].older : owner.newest) = link.older;

    leaveGroup(link.client);
    --owner.count;
    joinGroup(link.client);
    // Only the group it left can have emptied; when that was the heaviest, the one it joined
    // (or none at all) is the heaviest now.
    if (groups_[heaviest_] == kNone && heaviest_ > 0) --heaviest_;
    if (owner.count == 0) ++idle_;
}

std::optional<std::uint32_t> DnsClientLoads::oldestOfHeaviest() const {
    if (heaviest_ == 0) return std::nullopt;
    return clients_[groups_[heaviest_]].oldest;
}

std::uint32_t DnsClientLoads::clientFor(const asio::ip::udp::endpoint& endpoint) {
    if (const auto found = byEndpoint_.find(endpoint); found != byEndpoint_.end())
        return found->second;
    if (idle_ > 1024 && idle_ > byEndpoint_.size() / 2) sweepIdle();
    std::uint32_t index = 0;
    if (freeClients_.empty()) {
        index = static_cast<std::uint32_t>(clients_.size());
        clients_.emplace_back();
    } else {
        index = freeClients_.back();
        freeClients_.pop_back();
    }
    clients_[index] = {.endpoint = endpoint};
    byEndpoint_.emplace(endpoint, index);
    ++idle_;
    return index;
}

void DnsClientLoads::leaveGroup(std::uint32_t index) {
    Client& client = clients_[index];
    if (client.count == 0) return;
    if (client.previousPeer != kNone)
        clients_[client.previousPeer].nextPeer = client.nextPeer;
    else
        groups_[client.count] = client.nextPeer;
    if (client.nextPeer != kNone) clients_[client.nextPeer].previousPeer = client.previousPeer;
    client.previousPeer = client.nextPeer = kNone;
}

void DnsClientLoads::joinGroup(std::uint32_t index) {
    Client& client = clients_[index];
    if (client.count == 0) return;
    if (client.count >= groups_.size()) groups_.resize(client.count + 1, kNone);
    client.nextPeer = groups_[client.count];
    if (client.nextPeer != kNone) clients_[client.nextPeer].previousPeer = index;
    groups_[client.count] = index;
    if (client.count > heaviest_) heaviest_ = client.count;
}

void DnsClientLoads::sweepIdle() {
    for (auto entry = byEndpoint_.begin(); entry != byEndpoint_.end();) {
        if (clients_[entry->second].count == 0) {
            freeClients_.push_back(entry->second);
            entry = byEndpoint_.erase(entry);
        } else {
            ++entry;
        }
    }
    idle_ = 0;
}

}  // namespace nimbra::nimbrad
