#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "nimbrad/app_route_set.hpp"
#include "nimbrad/app_route_table.hpp"
#include "nimbrad/policy_routing.hpp"

namespace nimbra::nimbrad {

// Per-app routing while the tunnel carries the machine: the set the client asked for, the
// nftables table that marks those cgroups' packets, and the policy rules that route by mark.
//
// The two halves change in the order that keeps an application set to "proxy" inside the
// tunnel at every moment: marks before the rules that rely on them when the default becomes
// "direct", rules before marks otherwise. An application set to "direct" may go through the
// tunnel for that moment.
//
// Lives for one tunnel session: stop() forgets the set, and the client sends it again after
// its next connect. Runs on the daemon's strand; every call blocks briefly (netlink, nft).
class AppSplit {
public:
    AppSplit(std::string tunnelDevice, std::filesystem::path journal);

    // The client's set, or nothing to turn per-app routing off. With `routing` installed it
    // applies at once; otherwise it waits for attach(). Throws (NftError, RoutingError,
    // std::runtime_error when cgroup2 is missing) with what is in place left safe, see above.
    void request(std::optional<AppRouteSet> set, PolicyRouting* routing);

    // The default that routing must be installed with (nothing: per-app routing off).
    std::optional<AppRouteTarget> routingDefault() const;
    const std::optional<AppRouteSet>& requested() const { return requested_; }
    // Before routing is installed: marks first, so the rules find them in place.
    void beforeRoutingInstalled();
    // Routing goes (the tunnel stops): the table goes too and the set is forgotten.
    void stop();

    // What is marked now, and why the last request could not be applied ("" when it was).
    const std::vector<AppRoute>& applied() const { return applied_; }
    const std::string& error() const { return error_; }

    // What a crashed daemon's table left: see AppRouteTable::recoverFromJournal.
    static bool recoverFromJournal(const std::filesystem::path& journal) {
        return AppRouteTable::recoverFromJournal(journal);
    }

private:
    void applyTable();

    AppRouteTable table_;
    std::optional<AppRouteSet> requested_;
    std::vector<AppRoute> applied_;
    std::string error_;
};

}  // namespace nimbra::nimbrad
