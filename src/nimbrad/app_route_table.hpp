#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "nimbrad/app_route_set.hpp"
#include "nimbrad/nft_batch.hpp"

namespace nimbra::nimbrad {

// The nftables table `inet nimbra_apps` that marks applications' packets by their cgroup, so
// policy rules can route them by mark:
//
//   out  (route hook, output, mangle)  a socket in a listed cgroup (or below it) marks its
//        packets kDirectMark or kProxyMark and the mark is kept in the connection. The route
//        hook looks the route up again after the mark is set.
//   pre  (filter hook, prerouting, mangle)  replies get their connection's mark back, so
//        strict reverse-path filtering judges them by the route they came in on.
//   post (nat hook, postrouting, srcnat)  the socket's source address was chosen by the
//        unmarked lookup, before the mark re-routed it: direct packets leaving other than by
//        the tunnel device, and proxy packets leaving by it, take their way's address.
//
// Deeper cgroups come later in `out`, so an application listed inside a listed slice follows
// its own target (the last mark set wins).
//
// Strict rp_filter drops a direct application's replies unless it may use the mark, so while
// the table exists net.ipv4.conf.all.src_valid_mark is 1. Both the table and the sysctl's old
// value are written to the journal before the first change: remove(), or recoverFromJournal()
// after a crash, puts the sysctl back and deletes the table, and nothing else.
//
// Blocking (netlink, fsync): called from the daemon's blocking lane, one thread at a time.
class AppRouteTable {
public:
    // `tunnelDevice`: letters, digits, '_', '.', '-', at most 15 (std::invalid_argument).
    AppRouteTable(std::string tunnelDevice, std::filesystem::path journal);

    // Replaces the whole table with one for `set.routes`, in one nftables transaction: no
    // packet ever meets half a table. The paths are expected checked by the caller (inside the
    // caller's slice); those nft's syntax cannot carry safely are left out all the same. nft
    // resolves each path when the table is loaded; a cgroup that vanished since the caller's
    // check fails the load, so the vanished ones are dropped and the load retried (a few times).
    // Returns the routes now marked; none (an empty set) removes the table like remove().
    // Throws NftError (the previous table stays as it was), std::system_error (journal,
    // sysctl) or std::runtime_error (no cgroup2 hierarchy at /sys/fs/cgroup, where nft looks);
    // a first apply that throws leaves nothing changed.
    std::vector<AppRoute> apply(const AppRouteSet& set);
    // Deletes the table, puts the sysctl back, then deletes the journal. Nothing to do when
    // nothing was applied.
    void remove();

    // What a crashed daemon left: deletes `inet nimbra_apps` and puts back the sysctl value the
    // journal at `path` names, then the journal. Returns whether there was a journal. Throws
    // std::runtime_error for a file that is not such a journal (left alone), NftError.
    static bool recoverFromJournal(const std::filesystem::path& path);

private:
    void journalBeforeFirstChange();

    std::string tunnelDevice_;
    std::filesystem::path journal_;
    bool journalled_ = false;
};

}  // namespace nimbra::nimbrad
