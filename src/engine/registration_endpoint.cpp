#include "engine/registration_endpoint.hpp"

#include <exception>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "base/atomic_file.hpp"
#include "base/deployment.hpp"
#include "base/log.hpp"
#include "base/nat64_address.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using Outcome = EndpointRewriteOutcome;

EndpointRewrite refused(Outcome outcome, std::string endpoint, std::string reason) {
    return {outcome, std::move(endpoint), std::move(reason)};
}

// The endpoint for the gateway, or the reason there is none. An empty prefix means direct, as it
// does when the preference is read.
EndpointRewrite endpointFor(std::string_view prefixRaw) {
    if (prefixRaw.empty() || prefixRaw == "none") {
        const std::string v6 = deployment::providerEndpointV6();
        if (!isIpv6Address(v6)) {
            return refused(Outcome::invalidPrefix, {},
                           "the provider's IPv6 endpoint \"" + v6 + "\" is not an IPv6 address");
        }
        return {Outcome::written, v6, {}};
    }
    const std::string v4 = deployment::providerEndpointV4();
    if (!ipv4AsHexGroups(v4)) {
        return refused(Outcome::invalidPrefix, {},
                       "the provider's IPv4 endpoint \"" + v4 + "\" is not an IPv4 address");
    }
    auto address = nat64Address(prefixRaw, v4);
    if (!address) {
        return refused(Outcome::invalidPrefix, {},
                       "the gateway prefix \"" + std::string(prefixRaw) +
                           "\" gives no IPv6 address for the endpoint " + v4);
    }
    return {Outcome::written, std::move(*address), {}};
}

}  // namespace

EndpointRewrite rewriteEndpointV6(const fs::path& path, std::string_view prefixRaw) {
    EndpointRewrite result = endpointFor(prefixRaw);
    if (!result.ok()) return result;
    const std::string& endpoint = result.endpoint;
    const std::string shown = path.string();

    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        return refused(Outcome::missingFile, endpoint, "there is no registration at " + shown);
    }
    if (error || !fs::is_regular_file(status)) {
        return refused(Outcome::notAnObject, endpoint, shown + " is not a readable file");
    }
    const auto contents = readWholeFile(path);
    if (!contents) return refused(Outcome::notAnObject, endpoint, shown + " cannot be read");
    auto registration = nlohmann::json::parse(*contents, nullptr, /*allow_exceptions=*/false);
    if (registration.is_discarded() || !registration.is_object()) {
        return refused(Outcome::notAnObject, endpoint, shown + " does not hold a JSON object");
    }

    const auto current = registration.find("endpoint_v6");
    if (current != registration.end() && current->is_string() && *current == endpoint) {
        result.outcome = Outcome::alreadySet;
        return result;
    }
    registration["endpoint_v6"] = endpoint;

    // A link (to the user's own usque registration, say) stays a link: the file it names is the
    // one replaced.
    const fs::path target = fs::canonical(path, error);
    if (error) return refused(Outcome::writeFailed, endpoint, shown + ": " + error.message());
    try {
        writeFileAtomically(target, registration.dump(2) + "\n");
    } catch (const std::exception& failure) {
        return refused(Outcome::writeFailed, endpoint, failure.what());
    }
    // The new file starts out readable by its owner alone, so putting the old bits back after the
    // rename never exposes the private key for a moment, whichever way the bits differ.
    fs::permissions(target, status.permissions(), fs::perm_options::replace, error);
    if (error) {
        logLine("registration", "kept " + target.string() + " owner-only: " + error.message());
    }
    return result;
}

}  // namespace nimbra
