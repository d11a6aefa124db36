#include "proxy/system_proxy/proxy_settings.hpp"

#include "base/text.hpp"

namespace nimbra {
namespace {

// The text without surrounding spaces and single or double quotes (GSettings prints strings
// quoted, kioslaverc may hold them quoted).
std::string_view unquoted(std::string_view text) {
    text = text::trim(text);
    while (!text.empty() && (text.front() == '\'' || text.front() == '"')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == '\'' || text.back() == '"')) text.remove_suffix(1);
    return text::trim(text);
}

bool isLoopbackName(std::string_view host) {
    const std::string name = text::toLowerAscii(unquoted(host));
    return name == "127.0.0.1" || name == "localhost" || name == "::1" || name == "[::1]";
}

}  // namespace

std::string LocalEndpoints::pacAddress() const {
    return "http://" + host + ":" + std::to_string(httpPort) + "/proxy.pac";
}

bool LocalEndpoints::isOurPacAddress(std::string_view url) const {
    const std::string address = text::toLowerAscii(unquoted(url));
    const std::string ours = text::toLowerAscii(pacAddress());
    if (address.compare(0, ours.size(), ours) != 0) return false;
    return address.size() == ours.size() || address[ours.size()] == '?';
}

bool LocalEndpoints::isOurServer(std::string_view serverHost, std::string_view port) const {
    if (!isLoopbackName(serverHost)) return false;
    const std::string_view digits = unquoted(port);
    return digits == std::to_string(httpPort) || digits == std::to_string(socksPort);
}

std::vector<std::string> standardBypassDomains() {
    return {"127.0.0.1",     "localhost",      "*.local",        "10.0.0.0/8",
            "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16", "<local>"};
}

}  // namespace nimbra
