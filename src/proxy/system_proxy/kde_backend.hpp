#pragma once

#include <functional>
#include <string>
#include <vector>

#include "proxy/system_proxy/proxy_backend.hpp"

namespace nimbra {

// KDE Plasma 5 and 6: the "Proxy Settings" group of kioslaverc, which every KIO application reads,
// written with kwriteconfig and read with kreadconfig (the KF5 or KF6 ones). Authentication keys
// are never read or written. After a write, running KIO clients are told to re-read the file.
class KdeProxyBackend final : public ProxyBackend {
public:
    struct Tools {
        std::string writeConfig = "kwriteconfig5";
        std::string readConfig = "kreadconfig5";
        std::string dbusSend = "dbus-send";
    };

    // The kioslaverc entries this back-end owns, ProxyType last (the order restore writes in, so
    // the new type only takes effect once the entries it uses are in place).
    static const std::vector<std::string>& keys();

    // Plasma 6's kwriteconfig6/kreadconfig6 when both are installed, else the KF5 pair.
    // `isInstalled` answers for a program name; by default it asks `which`.
    static Tools installedTools(const std::function<bool(const std::string&)>& isInstalled = {});

    explicit KdeProxyBackend(Tools tools = installedTools());

    std::string name() const override { return "kde"; }
    std::string chooseScope() override { return ""; }
    ProxySettings read(const std::string& scope) override;
    void applyAutoSplit(const std::string& scope, const std::string& pacUrl) override;
    void applyFull(const std::string& scope, const FullProxyRequest& request) override;
    void restore(const ProxySettings& prior) override;
    bool pointsAt(const ProxySettings& current, const LocalEndpoints& ours) const override;
    void switchOffOurs(const ProxySettings& current, const LocalEndpoints& ours) override;
    std::vector<std::string> describe(const ProxySettings& current) const override;

private:
    void write(const std::string& key, const std::string& value) const;
    void remove(const std::string& key) const;
    void askKioToReparse() const;

    Tools tools_;
};

}  // namespace nimbra
