#pragma once

#include <string>

#include "proxy/system_proxy/proxy_backend.hpp"

namespace nimbra {

// A desktop whose proxy settings we cannot reach (a server, a window manager without a settings
// store). Applying explains what to do instead; there is never anything to restore or switch off.
class UnsupportedProxyBackend final : public ProxyBackend {
public:
    UnsupportedProxyBackend(std::string desktop, LocalEndpoints ours);

    std::string name() const override { return "none"; }
    std::string chooseScope() override { return ""; }
    ProxySettings read(const std::string& scope) override;
    void applyAutoSplit(const std::string& scope, const std::string& pacUrl) override;
    void applyFull(const std::string& scope, const FullProxyRequest& request) override;
    void restore(const ProxySettings&) override {}
    bool pointsAt(const ProxySettings&, const LocalEndpoints&) const override { return false; }
    void switchOffOurs(const ProxySettings&, const LocalEndpoints&) override {}
    std::vector<std::string> describe(const ProxySettings& current) const override;

private:
    std::string desktop_;
    LocalEndpoints ours_;
};

}  // namespace nimbra
