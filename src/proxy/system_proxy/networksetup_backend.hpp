#pragma once

#include <string>
#include <utility>
#include <vector>

#include "proxy/system_proxy/proxy_backend.hpp"

namespace nimbra {

// macOS: one network service's proxy settings, read and written through networksetup, one run
// per setting. The service is picked by a fixed preference order, so Wi-Fi wins over Ethernet
// whatever order the tool lists them in.
//
// Values read (all text; booleans as "on"/"off"):
//   web.enabled, web.host, web.port              -getwebproxy
//   secureWeb.enabled, secureWeb.host, ...port   -getsecurewebproxy
//   socks.enabled, socks.host, socks.port        -getsocksfirewallproxy
//   autoProxy.enabled, autoProxy.url             -getautoproxyurl ("(null)" reads as "")
//   autoDiscovery                                -getproxyautodiscovery
//   bypassDomains                                -getproxybypassdomains, one domain a line
class NetworksetupProxyBackend final : public ProxyBackend {
public:
    struct Tools {
        std::string networksetup = "/usr/sbin/networksetup";
    };

    NetworksetupProxyBackend() = default;
    explicit NetworksetupProxyBackend(Tools tools) : tools_(std::move(tools)) {}

    std::string name() const override { return "networksetup"; }
    std::string chooseScope() override;
    ProxySettings read(const std::string& scope) override;
    void applyAutoSplit(const std::string& scope, const std::string& pacUrl) override;
    void applyFull(const std::string& scope, const FullProxyRequest& request) override;
    void restore(const ProxySettings& prior) override;
    bool pointsAt(const ProxySettings& current, const LocalEndpoints& ours) const override;
    void switchOffOurs(const ProxySettings& current, const LocalEndpoints& ours) override;
    std::vector<std::string> describe(const ProxySettings& current) const override;

    // The services -listallnetworkservices prints, without its heading and disabled ("*") ones.
    std::vector<std::string> listServices();

private:
    std::string readTool(std::vector<std::string> args);
    void write(std::vector<std::string> args);
    bool tryWrite(std::vector<std::string> args);
    void setBypassDomains(const std::string& service, const std::vector<std::string>& domains);

    Tools tools_;
};

}  // namespace nimbra
