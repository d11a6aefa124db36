#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proxy/system_proxy/proxy_backend.hpp"

namespace nimbra {

// GNOME's proxy settings (org.gnome.system.proxy and its .http, .https and .socks children),
// which GNOME, Cinnamon, Budgie, Unity and Pantheon all read. We go through the gsettings tool
// rather than GIO: no GLib in our process, and the same run-a-tool pattern as the other stores.
//
// Values are kept exactly as `gsettings get` prints them (GVariant text: 'manual', 8080,
// ['localhost', '127.0.0.0/8'], @as []), so a restore hands gsettings back its own words:
//   mode, autoconfig-url, ignore-hosts, use-same-proxy     org.gnome.system.proxy
//   http.host, http.port, https.host, https.port,          org.gnome.system.proxy.<kind>
//   socks.host, socks.port
// A value gsettings cannot give us is left out, and restore then leaves that key alone: writing
// the schema default instead would change a setting we never saw. The authentication keys
// (use-authentication, authentication-user, authentication-password) are never read or written.
class GnomeProxyBackend final : public ProxyBackend {
public:
    struct Tools {
        std::string gsettings = "/usr/bin/gsettings";
    };

    GnomeProxyBackend() = default;
    explicit GnomeProxyBackend(Tools tools) : tools_(std::move(tools)) {}

    std::string name() const override { return "gnome"; }
    std::string chooseScope() override { return ""; }
    ProxySettings read(const std::string& scope) override;
    void applyAutoSplit(const std::string& scope, const std::string& pacUrl) override;
    void applyFull(const std::string& scope, const FullProxyRequest& request) override;
    void restore(const ProxySettings& prior) override;
    bool pointsAt(const ProxySettings& current, const LocalEndpoints& ours) const override;
    void switchOffOurs(const ProxySettings& current, const LocalEndpoints& ours) override;
    std::vector<std::string> describe(const ProxySettings& current) const override;

    // `text` as a GVariant string literal: single-quoted, with quotes, backslashes and control
    // characters escaped, so nothing in it can end the value early.
    static std::string quoted(std::string_view text);

    // The ignore-hosts list for a bypass list in the form the controller passes: "<local>" has
    // no GNOME equivalent and goes; blanks and repeats go too.
    static std::vector<std::string> ignoreHostsFor(const std::vector<std::string>& bypassDomains);

private:
    // `gsettings set` for one of our keys ("mode", "http.port", ...); throws ProxyError.
    void set(const std::string& ourKey, const std::string& value);

    Tools tools_;
};

}  // namespace nimbra
