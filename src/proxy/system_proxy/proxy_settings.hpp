#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra {

// The desktop's proxy settings as one back-end stores them: every value the back-end writes, as
// text, keyed by the back-end's own names (a networksetup reading, a GSettings key, a kioslaverc
// entry). Values are kept exactly as the store printed them, so a restore writes back what was
// there, byte for byte. This is also what the crash journal keeps on disk.
struct ProxySettings {
    std::string backend;  // ProxyBackend::name() of the back-end that read them
    std::string scope;    // the network service for networksetup; empty for desktop-wide stores
    std::map<std::string, std::string> values;

    // The value of `key`, "" when absent.
    std::string value(const std::string& key) const {
        auto found = values.find(key);
        return found == values.end() ? std::string() : found->second;
    }

    bool operator==(const ProxySettings&) const = default;
};

// Where our own proxies listen. Settings that point here are ours to switch off; anything else
// belongs to the user and is never touched without a snapshot to restore.
struct LocalEndpoints {
    std::string host = "127.0.0.1";
    int httpPort = 19998;
    int socksPort = 19999;

    // "http://<host>:<httpPort>/proxy.pac": the relay's PAC address, without the "?v=" stamp.
    std::string pacAddress() const;
    // A PAC address of ours, whatever its query ("?v=<seconds>") and the case of its scheme/host.
    bool isOurPacAddress(std::string_view url) const;
    // A proxy server of ours: a loopback name (127.0.0.1, localhost, ::1) with our HTTP or SOCKS
    // port. `port` is text as the stores print it; surrounding quotes and spaces are ignored.
    bool isOurServer(std::string_view host, std::string_view port) const;

    bool operator==(const LocalEndpoints&) const = default;
};

// Full proxying: web and secure web on the relay, SOCKS on usque, and what bypasses them.
struct FullProxyRequest {
    std::string host;
    int httpPort = 0;
    int socksPort = 0;
    std::vector<std::string> bypassDomains;
};

// The bypass list the controller passes in full mode, in this order; the last entry, "<local>",
// means "every host name without a dot".
std::vector<std::string> standardBypassDomains();

}  // namespace nimbra
