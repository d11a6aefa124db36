#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace nimbra {

// What rewriteEndpointV6 did with usque's registration file.
enum class EndpointRewriteOutcome {
    written,        // "endpoint_v6" now holds the gateway's endpoint
    alreadySet,     // it already did; the file was not touched
    missingFile,    // there is no registration yet; nothing to rewrite
    notAnObject,    // unreadable, not JSON, or JSON but not an object: left as it was
    invalidPrefix,  // the prefix makes no IPv6 address with the provider's endpoint: no change
    writeFailed,    // the new file could not be written; the old one stays
};

struct EndpointRewrite {
    EndpointRewriteOutcome outcome = EndpointRewriteOutcome::written;
    std::string endpoint;  // the gateway's endpoint; empty when the prefix is invalid
    std::string reason;    // why nothing changed, in English; empty for written and alreadySet

    bool ok() const {
        return outcome == EndpointRewriteOutcome::written ||
               outcome == EndpointRewriteOutcome::alreadySet;
    }
};

// Points usque at the exit gateway `prefixRaw` (a stored "nat64_prefix" value) by setting the
// "endpoint_v6" key of the registration file at `path`: for "none" the provider's IPv6 endpoint,
// otherwise the provider's IPv4 endpoint embedded in the prefix (nat64Address). Every other key
// keeps its value; the file is replaced atomically and keeps its permission bits. Never throws:
// each way of not changing the file is an outcome with a reason. Blocks on disk I/O (with fsync).
EndpointRewrite rewriteEndpointV6(const std::filesystem::path& path, std::string_view prefixRaw);

}  // namespace nimbra
