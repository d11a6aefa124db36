#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::nimbrad {

// The daemon's settings, as the client writes them into config.yml:
//
//   dns:
//     mode: cloudflare
//     custom: ""
//     profile: ""
//     device: "laptop"
//   http2: false
//   nat64_prefix: ""
//   china_direct: false
//   excludes:
//     - 10.20.0.0/16
//     - intranet.example
//
// The file sits in the user's own folder, so root reads it as data only: a narrow line reader
// for exactly this shape, no YAML library, and values that fail the daemon's argument checks
// are dropped with a warning rather than acted on.
struct DaemonConfig {
    std::string dnsMode = "cloudflare";
    std::string dnsCustom;
    std::string dnsProfile;
    std::string dnsDevice;
    bool http2 = false;
    std::string nat64Prefix;
    bool chinaDirect = false;
    std::vector<std::string> excludes;

    bool operator==(const DaemonConfig&) const = default;
};

struct ParsedDaemonConfig {
    DaemonConfig config;
    // One line per value that was ignored, for the log.
    std::vector<std::string> warnings;
};

ParsedDaemonConfig parseDaemonConfig(std::string_view text);

// `text` with its excludes block replaced by `excludes` ("excludes: []" when empty); every other
// line stays as it was. A text without a block gets one at the end.
std::string withExcludes(std::string_view text, const std::vector<std::string>& excludes);

}  // namespace nimbra::nimbrad
