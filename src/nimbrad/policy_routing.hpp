#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbrad/app_route_set.hpp"
#include "nimbrad/route_journal.hpp"

namespace nimbra::nimbrad {

// What whole-machine routing through the tunnel consists of.
struct RoutingPlan {
    std::string tunnelDevice = "nimbra0";
    std::uint32_t table = 51820;          // our own table
    std::uint32_t bypassPriority = 5200;  // rules that keep traffic in the main table
    std::uint32_t appPriority = 5205;     // the rule that keeps "direct" apps' packets out
    std::uint32_t tunnelPriority = 5210;  // the rule that sends everything else to our table
    std::vector<std::string> endpoints;   // the MASQUE server's address(es): never into the tunnel
    std::vector<std::string> bypass;      // CIDRs (IPv4 and IPv6) that stay in the main table
    // Networks reached directly (China-direct): throw routes in our table, so their lookup goes
    // on to the main table without a rule each.
    std::vector<Cidr> direct;
    // Per-app routing, when on: with "proxy" for unlisted apps, packets marked kDirectMark
    // (apps set to direct) go to the main table ahead of the catch-all; with "direct", the
    // catch-all takes only packets marked kProxyMark (apps set to proxy) and the rest stays out.
    std::optional<AppRouteTarget> appDefault;
};

// Local, link-local, carrier-grade NAT (Tailscale) and multicast networks: what a laptop reaches
// without the tunnel, whatever else the user excludes.
std::vector<std::string> standardBypassCidrs();

struct RoutingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Policy routing through the tunnel, over netlink. install() adds, per address family and in
// one netlink batch: a default route via the tunnel in our table (or, for IPv6 when the tunnel
// has no IPv6 address, an "unreachable" default, so IPv6 is blocked rather than sent around
// the tunnel); throw routes for the direct networks; rules that keep the endpoints and the
// bypass networks in the main table; and last the rule that sends everything else to our
// table. Everything is written to the journal before the kernel sees it.
//
// While installed, exclusions and the direct networks change live: each change is one netlink
// batch, journalled first (the journal lists the old and the new entries until the kernel has
// answered, then exactly what is there), and a change the kernel refuses any part of is rolled
// back and throws RoutingError with nothing changed. While not installed, a change only
// updates the plan that the next install() follows.
//
// Routing outlives the object on purpose: only remove() (or recoverFromJournal() at the next
// start) takes it back, so a daemon that dies leaves the journal to say what to undo.
class PolicyRouting {
public:
    PolicyRouting(RoutingPlan plan, std::filesystem::path journal);

    // Takes back leftovers from an earlier run first. Throws RoutingError (nothing left behind:
    // a batch the kernel refuses part of is rolled back) or std::system_error (journal).
    void install();
    // Deletes exactly what install() and the changes since added, then the journal. Things
    // already gone (the tunnel device vanished with its routes) are fine. Throws RoutingError
    // for anything else.
    void remove();

    // A rule at the bypass priority that keeps `network` in the main table. Returns whether
    // anything changed: adding one that is there, or removing one that is not, does nothing;
    // nor does removing an endpoint or a standard bypass network, which must never go through
    // the tunnel. Throws RoutingError (nothing changed) or std::system_error (journal).
    bool addBypass(const Cidr& network);
    bool removeBypass(const Cidr& network);
    // Replaces the direct networks with `networks` (duplicates ignored); an empty list removes
    // them. Only the difference goes to the kernel. Throws like addBypass().
    void setDirectRanges(std::vector<Cidr> networks);
    // Turns per-app routing on with the given default, or off (nothing). New rules go in before
    // old ones leave, so while it changes, traffic errs towards the tunnel: an app set to proxy
    // never leaves around it, one set to direct may briefly go through it. Throws like
    // addBypass().
    void setAppDefault(std::optional<AppRouteTarget> appDefault);

    // The tunnel's process came back with a new device of the same name: the routes through
    // the old one went with it, everything else stayed. Puts those routes back (ones still there
    // are fine); until then the block behind them held traffic. Throws RoutingError.
    void reattachTunnel();

    bool installed() const { return !entries_.empty(); }
    const RoutingPlan& plan() const { return plan_; }
    // What is in the kernel now, in the order it was added.
    const std::vector<RouteEntry>& entries() const { return entries_; }

    // Deletes what the journal at `path` lists and then the journal; returns how many entries it
    // took back (0 without a journal). Only what routing by `ours` could have added is taken
    // back: rules at its priorities (the bypass and app ones into the main table) and routes in
    // its table. Anything else a journal names is someone else's (the rule that looks up the local
    // table, the main table's default route) and is refused, one log line each.
    static std::size_t recoverFromJournal(const std::filesystem::path& path,
                                          const RoutingPlan& ours = {});

private:
    std::vector<RouteEntry> plannedEntries() const;
    RouteEntry bypassRule(const Cidr& network) const;
    RouteEntry directRoute(const Cidr& network) const;
    // The rules that send traffic into our table for `family`, as per-app routing has them.
    std::vector<RouteEntry> tunnelRules(int family) const;
    // Takes the kernel from entries_ to `next` by adding `added` and deleting `deleted`.
    void change(std::vector<RouteEntry> next, const std::vector<RouteEntry>& added,
                const std::vector<RouteEntry>& deleted);

    RoutingPlan plan_;
    std::filesystem::path journal_;
    std::vector<RouteEntry> entries_;
};

}  // namespace nimbra::nimbrad
