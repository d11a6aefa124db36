#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// What nimbrad answers: one JSON object per reply line. Keys are matched exactly, unknown keys
// are ignored, and an optional key whose value is null counts as absent; a present key of the
// wrong type makes the whole reply undecodable.
namespace nimbra::DaemonClient {

// The daemon's state, in replies to "status". Every field may be absent.
struct Status {
    std::optional<bool> ok;                  // "ok": ready; the readiness wait accepts it at once
    std::optional<bool> tunnelOn;            // "tunnel_on": the tunnel has been started
    std::optional<bool> connected;           // "connected": the MASQUE connection is up
    std::optional<std::string> tunIface;     // "tun_iface"
    std::optional<std::string> tunErr;       // "tun_err": the last tunnel error
    std::optional<std::string> dnsMode;      // "dns_mode"
    std::optional<std::string> dnsUpstream;  // "dns_upstream"
    std::optional<bool> dnsRunning;          // "dns_running"
    std::optional<std::string> dnsErr;       // "dns_err"
    std::optional<std::string> listen;       // "listen": the DNS forwarder's address
    std::optional<std::vector<std::string>> excludes;  // "excludes": IPs, CIDRs or domains
    std::optional<std::int64_t> uptimeSec;             // "uptime_sec"
    std::optional<std::uint64_t> routeGen;             // "route_gen"
    std::optional<std::string> version;                // "version"
    // "china_source": where the China ranges came from and how old they are, or why they could
    // not be loaded; empty until China-direct is first switched on.
    std::optional<std::string> chinaSource;
    // "app_default": "proxy" or "direct" while per-app routing is applied, "" while it is not.
    std::optional<std::string> appDefault;
    std::optional<std::string> appErr;  // "app_err": why the last per-app set was not applied

    bool operator==(const Status&) const = default;
};

// A latency sample of one exit gateway ("exitProbes" entries); all three keys are required.
struct ExitProbe {
    std::string id;          // "id"
    std::string label;       // "label"
    std::int64_t rttMs = 0;  // "rtt_ms"

    bool operator==(const ExitProbe&) const = default;
};

struct Reply {
    bool ok = false;                                   // "ok", required
    std::optional<std::string> msg;                    // "msg": error or information text
    std::optional<Status> status;                      // "status"
    std::optional<std::vector<ExitProbe>> exitProbes;  // "exitProbes"

    bool operator==(const Reply&) const = default;
};

// A reply line that is not JSON or does not have the reply's shape. The text names the key and
// what it should have held, since it is shown to the user as it is.
class ReplyDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Decodes one reply line (without its line feed). Throws ReplyDecodeError.
Reply decodeReply(std::string_view line);

}  // namespace nimbra::DaemonClient
