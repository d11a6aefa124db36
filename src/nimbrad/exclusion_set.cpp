#include "nimbrad/exclusion_set.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "nimbrad/argument_checks.hpp"

namespace nimbra::nimbrad {

ExclusionSet::ExclusionSet(std::vector<std::string> targets) {
    for (auto& target : targets) add(target);
}

bool ExclusionSet::add(const std::string& target) {
    if (std::find(targets_.begin(), targets_.end(), target) != targets_.end()) return false;
    targets_.push_back(target);
    return true;
}

bool ExclusionSet::remove(const std::string& target) {
    const auto found = std::find(targets_.begin(), targets_.end(), target);
    if (found == targets_.end()) return false;
    targets_.erase(found);
    resolved_.erase(target);
    return true;
}

std::vector<std::string> ExclusionSet::domains() const {
    std::vector<std::string> domains;
    for (const auto& target : targets_)
        if (!isIpAddress(target) && !isCidr(target)) domains.push_back(target);
    return domains;
}

void ExclusionSet::setResolved(const std::string& domain, std::vector<Cidr> addresses) {
    if (std::find(targets_.begin(), targets_.end(), domain) == targets_.end()) return;
    resolved_[domain] = std::move(addresses);
}

void ExclusionSet::keepResolvedFrom(const ExclusionSet& older) {
    for (const auto& [domain, addresses] : older.resolved_) setResolved(domain, addresses);
}

std::vector<Cidr> ExclusionSet::networks() const {
    std::vector<Cidr> networks;
    auto add = [&](const Cidr& cidr) {
        if (std::find(networks.begin(), networks.end(), cidr) == networks.end())
            networks.push_back(cidr);
    };
    for (const auto& target : targets_) {
        if (auto cidr = Cidr::parse(target)) {
            add(*cidr);
        } else if (auto found = resolved_.find(target); found != resolved_.end()) {
            for (const auto& address : found->second) add(address);
        }
    }
    return networks;
}

std::vector<Cidr> resolveDomain(const std::string& domain) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(domain.c_str(), nullptr, &hints, &found) != 0) return {};
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);

    std::vector<Cidr> addresses;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        Cidr cidr;
        cidr.family = entry->ai_family;
        if (entry->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            std::memcpy(cidr.bytes.data(), &in->sin_addr, 4);
            cidr.prefix = 32;
        } else if (entry->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
            std::memcpy(cidr.bytes.data(), &in6->sin6_addr, 16);
            cidr.prefix = 128;
        } else {
            continue;
        }
        if (std::find(addresses.begin(), addresses.end(), cidr) == addresses.end())
            addresses.push_back(cidr);
    }
    return addresses;
}

}  // namespace nimbra::nimbrad
