#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::nimbrad {

struct ResolverError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the resolver journal records, written before anything is changed. Either systemd-resolved
// was given per-link DNS on `device`, or the resolver file at `path` was replaced by `ours`;
// then `before` says what to put back. One fact a line, paths as plain text, file contents in
// hex so that the bytes come back exactly:
//
//   nimbrad-resolver 1
//   resolved nimbra0
//
//   nimbrad-resolver 1
//   file /etc/resolv.conf
//   before regular 644 0 0 6e616d657365727665722031302e302e302e310a
//   ours 2320577269747465...
//
// `before` is also "before symlink <target>" or "before absent".
struct ResolverJournal {
    enum class Kind { resolved, file };
    enum class Before { regular, symlink, absent };
    Kind kind = Kind::file;
    std::string device;          // resolved
    std::filesystem::path path;  // file: the resolver file we replaced
    Before before = Before::absent;
    mode_t mode = 0644;  // regular: permission bits
    uid_t owner = 0;     // regular
    gid_t group = 0;     // regular
    std::string bytes;   // regular: the exact previous contents
    std::string target;  // symlink: exactly as readlink gave it
    std::string ours;    // file: what we wrote, to tell whether someone changed it since
    bool operator==(const ResolverJournal&) const = default;
};

std::string formatResolverJournal(const ResolverJournal& journal);
// Nothing when the text is not a journal this code wrote: root puts back only what it can read
// exactly.
std::optional<ResolverJournal> parseResolverJournal(std::string_view text);

// The resolver file nimbrad writes while the tunnel is up: our forwarder as the only nameserver,
// and the original's "search"/"domain" and "options" lines. Search domains stay because users
// type short names (printers, intranet hosts) and expect them to work the same with the tunnel
// up; the forwarder answers those queries like any other. Options (ndots, edns0, timeout) tune
// the resolver library, not where queries go, so they stay too. Other nameservers go.
std::string tunnelResolvConf(std::string_view original, std::string_view listenAddress);

// Points the machine's DNS at our forwarder while the tunnel is up, and puts it back.
//
// When systemd-resolved manages the resolver file (it is a symlink to one of resolved's files
// and resolved answers `resolvectl status`), the tunnel device gets per-link DNS and the routing
// domain "~." with default-route, so every query goes to the forwarder; otherwise the resolver
// file itself is replaced, atomically, after its bytes, mode, owner (or symlink target) are
// journalled. The journal is written before every change, so restore() or, after a crash,
// recoverFromJournal() can undo exactly that.
//
// The change outlives the object on purpose: a daemon that dies leaves the journal for the next
// start. Tools run directly (never through a shell), with a time limit.
class SystemResolver {
public:
    struct Options {
        std::filesystem::path resolvConf = "/etc/resolv.conf";
        std::filesystem::path journal = "/var/lib/nimbrad/resolver.journal";
        std::string resolvectl = "resolvectl";  // looked up on PATH without a '/'
        // Symlink targets that mean "systemd-resolved writes this file": the stub file, the
        // uplink file and the static stub file.
        std::vector<std::filesystem::path> resolvedFiles = {
            "/run/systemd/resolve/stub-resolv.conf", "/run/systemd/resolve/resolv.conf",
            "/usr/lib/systemd/resolv.conf", "/lib/systemd/resolv.conf"};
    };

    explicit SystemResolver(Options options);

    // Throws ResolverError with nothing changed and no journal left behind.
    //
    // Pointing again at the same forwarder (usque came back, the upstream changed) never passes
    // through the settings from before the tunnel, where queries would leave around it: a
    // resolver file that still names the forwarder stays as it is, and resolved's per-link DNS
    // is given again to the device, which after a restart of usque is a new link that resolved
    // knows nothing about; the journal stays. Only pointing elsewhere restores first.
    void pointAt(const std::string& device, const std::string& listenAddress);
    // Undoes what pointAt() did, then deletes the journal. A resolver file that no longer holds
    // what we wrote is someone else's now and is left alone. Does nothing when not pointed.
    void restore();

    bool pointed() const { return journal_.has_value(); }
    // Pointed through systemd-resolved's per-link DNS (rather than the resolver file).
    bool viaResolved() const {
        return journal_ && journal_->kind == ResolverJournal::Kind::resolved;
    }
    // Whether systemd-resolved manages the resolver file now.
    bool resolvedManages() const;

    // Undoes what the journal at `journal` records, then deletes it; false without a journal.
    // Throws ResolverError, touching nothing, when the journal is garbled or names another
    // resolver file than `resolvConf`.
    static bool recoverFromJournal(const std::filesystem::path& journal,
                                   const std::filesystem::path& resolvConf,
                                   const std::string& resolvectl = "resolvectl");

private:
    void pointResolved(const std::string& device, const std::string& listenAddress);
    void relinkResolved(const std::string& server);
    void pointFile(const std::string& listenAddress);
    bool fileStillOurs() const;

    Options options_;
    std::optional<ResolverJournal> journal_;
    std::string listenAddress_;  // what journal_ points at
};

}  // namespace nimbra::nimbrad
