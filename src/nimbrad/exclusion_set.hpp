#pragma once

#include <map>
#include <string>
#include <vector>

#include "nimbrad/route_journal.hpp"

namespace nimbra::nimbrad {

// The user's route exclusions as they typed them (addresses, CIDR blocks, domain names) and the
// networks they stand for now. A domain stands for the addresses it last resolved to; those
// change, so the daemon resolves them again from time to time and routes the difference.
class ExclusionSet {
public:
    explicit ExclusionSet(std::vector<std::string> targets = {});

    const std::vector<std::string>& targets() const { return targets_; }
    // false when it was already there / not there.
    bool add(const std::string& target);
    bool remove(const std::string& target);

    std::vector<std::string> domains() const;
    // Records what `domain` resolves to now; ignored for a domain no longer excluded.
    void setResolved(const std::string& domain, std::vector<Cidr> addresses);

    // Takes over what `older` resolved for domains this set excludes too, so a re-read list
    // does not forget addresses until the next lookup.
    void keepResolvedFrom(const ExclusionSet& older);

    // Every network currently excluded, each once, in a stable order.
    std::vector<Cidr> networks() const;

private:
    std::vector<std::string> targets_;
    std::map<std::string, std::vector<Cidr>> resolved_;
};

// The A and AAAA addresses of `domain` as /32 and /128 networks; empty when it does not resolve.
// Blocks on the system resolver: call it off the command strand.
std::vector<Cidr> resolveDomain(const std::string& domain);

}  // namespace nimbra::nimbrad
