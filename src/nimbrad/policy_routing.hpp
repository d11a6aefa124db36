#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbrad/route_journal.hpp"

namespace nimbra::nimbrad {

// What whole-machine routing through the tunnel consists of.
struct RoutingPlan {
    std::string tunnelDevice = "nimbra0";
    std::uint32_t table = 51820;          // our own table
    std::uint32_t bypassPriority = 5200;  // rules that keep traffic in the main table
    std::uint32_t tunnelPriority = 5210;  // the rule that sends everything else to our table
    std::vector<std::string> endpoints;   // the MASQUE server's address(es): never into the tunnel
    std::vector<std::string> bypass;      // CIDRs (IPv4 and IPv6) that stay in the main table
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
// the tunnel); rules that keep the endpoints and the bypass networks in the main table; and
// last the rule that sends everything else to our table. Everything is written to the journal
// before the kernel sees it.
//
// Routing outlives the object on purpose: only remove() (or recoverFromJournal() at the next
// start) takes it back, so a daemon that dies leaves the journal to say what to undo.
class PolicyRouting {
public:
    PolicyRouting(RoutingPlan plan, std::filesystem::path journal);

    // Takes back leftovers from an earlier run first. Throws RoutingError (nothing left behind:
    // a batch the kernel refuses part of is rolled back) or std::system_error (journal).
    void install();
    // Deletes exactly what install() added, then the journal. Things already gone (the tunnel
    // device vanished with its routes) are fine. Throws RoutingError for anything else.
    void remove();

    bool installed() const { return !entries_.empty(); }
    // What install() added, in order.
    const std::vector<RouteEntry>& entries() const { return entries_; }

    // Deletes what the journal at `path` lists and then the journal; returns how many entries it
    // listed (0 without a journal).
    static std::size_t recoverFromJournal(const std::filesystem::path& path);

private:
    std::vector<RouteEntry> plannedEntries() const;

    RoutingPlan plan_;
    std::filesystem::path journal_;
    std::vector<RouteEntry> entries_;
};

}  // namespace nimbra::nimbrad
