#include "proxy/system_proxy/unsupported_backend.hpp"

#include "proxy/system_proxy/proxy_error.hpp"

namespace nimbra {

UnsupportedProxyBackend::UnsupportedProxyBackend(std::string desktop, LocalEndpoints ours)
    : desktop_(std::move(desktop)), ours_(std::move(ours)) {}

ProxySettings UnsupportedProxyBackend::read(const std::string& scope) {
    return ProxySettings{name(), scope, {}};
}

void UnsupportedProxyBackend::applyAutoSplit(const std::string&, const std::string&) {
    throw ProxyError(ProxyError::Unsupported{desktop_, ours_.httpPort, ours_.socksPort});
}

void UnsupportedProxyBackend::applyFull(const std::string&, const FullProxyRequest& request) {
    throw ProxyError(ProxyError::Unsupported{desktop_, request.httpPort, request.socksPort});
}

std::vector<std::string> UnsupportedProxyBackend::describe(const ProxySettings&) const {
    return {"no desktop proxy settings found (XDG_CURRENT_DESKTOP=" + desktop_ +
            "); point applications at http://127.0.0.1:" + std::to_string(ours_.httpPort) +
            " or socks5://127.0.0.1:" + std::to_string(ours_.socksPort)};
}

}  // namespace nimbra
