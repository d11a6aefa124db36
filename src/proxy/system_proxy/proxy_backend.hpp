#pragma once

#include <string>
#include <vector>

#include "proxy/system_proxy/proxy_settings.hpp"

namespace nimbra {

// One desktop's proxy settings store (macOS networksetup, GNOME's GSettings, KDE's kioslaverc),
// reached through its own command-line tools. Every call blocks on child processes, each with a
// time-out, so callers run them on a worker thread, never on the core or GUI thread.
//
// A back-end keeps no state between calls: the snapshot and the journal live in SystemProxy.
class ProxyBackend {
public:
    virtual ~ProxyBackend() = default;

    // "networksetup", "gnome", "kde" or "none"; also the name stored in the journal.
    virtual std::string name() const = 0;

    // Where the next write goes: the network service for networksetup (throws ProxyError with
    // NoService when there is none), "" for desktop-wide stores.
    virtual std::string chooseScope() = 0;

    // Every value this back-end writes, for `scope`, in the store's own text. Never throws: a
    // value that cannot be read reads as the store's "off" or empty value.
    virtual ProxySettings read(const std::string& scope) = 0;

    // Automatic configuration from our PAC address (`pacUrl` carries its "?v=" stamp); every
    // manual proxy off. Throws ProxyError on a write that matters.
    virtual void applyAutoSplit(const std::string& scope, const std::string& pacUrl) = 0;

    // Web and secure web on the relay, SOCKS on usque, bypass list; automatic configuration off.
    virtual void applyFull(const std::string& scope, const FullProxyRequest& request) = 0;

    // Writes `prior` (read earlier by read()) back to its own scope. Throws ProxyError on the
    // first write that matters; the rest are best effort.
    virtual void restore(const ProxySettings& prior) = 0;

    // Whether `current` sends anything to our endpoints (a proxy server or the PAC address).
    virtual bool pointsAt(const ProxySettings& current, const LocalEndpoints& ours) const = 0;

    // Switches off what in `current` points at our endpoints, and nothing else: a proxy the user
    // set up stays exactly as it is.
    virtual void switchOffOurs(const ProxySettings& current, const LocalEndpoints& ours) = 0;

    // The settings in `current`, one short line per setting, for display.
    virtual std::vector<std::string> describe(const ProxySettings& current) const = 0;
};

}  // namespace nimbra
