#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "proxy/system_proxy/proxy_backend.hpp"
#include "proxy/system_proxy/proxy_journal.hpp"

namespace nimbra {

// Points the desktop's proxy settings at our local proxies while connected and puts the user's
// own settings back afterwards.
//
// Before the first change it captures every setting it is about to touch and writes that
// snapshot to a journal on disk; the in-memory snapshot survives any number of applies (a split
// change while connected applies again) and is used up by one restore, after which the journal
// goes. A journal left by a process that died is restored at the next start. Without a snapshot
// of its own a restore changes nothing, not even settings that point at our endpoints: the user
// may have pointed them there (a SOCKS proxy on our port), and `repair()` is the explicit way to
// switch off what points at us.
//
// Every operation blocks on the back-end's tools: call from a worker thread. Safe to call from
// several threads: changes run one at a time, and the snapshot is guarded by its own mutex.
class SystemProxy {
public:
    SystemProxy(std::shared_ptr<ProxyBackend> backend, LocalEndpoints ours, ProxyJournal journal);

    // This desktop's back-end, and the journal in the work directory.
    static std::unique_ptr<SystemProxy> forThisDesktop(LocalEndpoints ours);

    std::string backendName() const { return backend_->name(); }

    // Automatic configuration from the relay's PAC address, stamped "?v=<seconds>" so each apply
    // writes a new address and clients reload the script.
    void enableAutoSplit(const std::string& host, int httpPort);

    // Web and secure web proxies on the relay, SOCKS on usque, with `bypassDomains`.
    void enableClashXProxies(const std::string& host, int httpPort, int socksPort,
                             const std::vector<std::string>& bypassDomains);

    // Puts back what this process's snapshot holds; without one, does nothing. When the restore
    // fails the snapshot and the journal are kept, so a later call or the next start can still
    // restore.
    void restore();

    // restore() for the quit paths: every tool run ends within `budget`. False when it failed or
    // ran out of time (the journal then stays for the next start).
    bool restoreWithin(std::chrono::milliseconds budget);

    // The settings in effect, one line each, for display.
    std::vector<std::string> describeCurrent();

    // At start-up: a journal left by a process that no longer runs is restored when the
    // desktop still points at the endpoints it names, and discarded when the user has changed
    // the settings since. Returns what it found and did, one line each (nothing when there was
    // no journal). Leaves the journal of a live process alone.
    std::vector<std::string> recoverLeftover();

    // What the programs run as they start: recoverLeftover() on this desktop, each line logged.
    // Blocks on the desktop's tools: call it off the GUI and core threads.
    static void recoverAtStartup(const LocalEndpoints& ours);

    // `nimbra-cli repair-network`: recoverLeftover(), then switches off settings that still
    // point at our endpoints. `clean` says whether nothing points at us afterwards.
    struct Repair {
        std::vector<std::string> lines;
        bool clean = false;
    };
    Repair repair();

private:
    // The snapshot for `scope`, taken (and journalled) before the first write.
    void captureIfNeeded(const std::string& scope);
    // A journal left by a dead process whose settings still point at us holds the user's real
    // settings: they, not the current ones, are what a restore must bring back.
    std::optional<ProxySettings> adoptLeftover(const std::string& scope);
    std::shared_ptr<ProxyBackend> backendFor(const ProxySettings& settings) const;
    void restoreLocked();

    std::shared_ptr<ProxyBackend> backend_;
    LocalEndpoints ours_;
    ProxyJournal journal_;

    // One change of the settings at a time: a restore that arrives while a write is under way
    // (a cancel during connect) waits for it, so the write can never land after the restore.
    std::timed_mutex changeLock_;
    std::mutex priorLock_;
    std::optional<ProxySettings> prior_;
};

}  // namespace nimbra
