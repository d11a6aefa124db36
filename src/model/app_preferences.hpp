#pragma once

#include <string>
#include <vector>

#include "base/preference_store.hpp"
#include "model/app_language.hpp"
#include "model/app_rule_item.hpp"
#include "model/app_theme.hpp"
#include "model/connection_mode.hpp"
#include "model/split_tunnel_mode.hpp"

namespace nimbra {

// Typed access to the stored preferences: every key's default and fallback lives here, so no
// caller ever sees an absent key, a value of the wrong type or a text that names no case.
// Cheap to copy; it only refers to the store.
class AppPreferences {
public:
    static constexpr int64_t kSchemaVersion = 7;
    static constexpr int kDefaultSocksPort = 19999;
    static constexpr int kDefaultHttpProxyPort = 19998;
    static constexpr int kRetiredSocksPort = 18088;

    // `profile` gives the rule presets a new list starts with; it must outlive this value.
    explicit AppPreferences(PreferenceStore& store,
                            const PlatformProfile& profile = PlatformProfile::current())
        : store_(&store), profile_(&profile) {}
    static AppPreferences standard() { return AppPreferences(PreferenceStore::standard()); }

    PreferenceStore& store() const { return *store_; }

    ConnectionMode connectionMode() const;
    SplitTunnelMode splitTunnelMode() const;
    bool preferHttp2() const;
    std::string nat64Prefix() const;
    bool chinaDirect() const;
    std::string daemonDNSMode() const;  // raw text, not validated
    std::string daemonDNSProfile() const;
    std::string daemonDNSDevice() const;
    std::string daemonDNSCustom() const;
    AppLanguage uiLanguage() const;
    AppTheme theme() const;
    std::vector<AppRuleItem> appRules() const;
    void setAppRules(const std::vector<AppRuleItem>& rules) const;
    AppRuleTarget defaultAppFallback() const;
    void setDefaultAppFallback(AppRuleTarget target) const;

    // The SOCKS port to use. A stored 18088 (an old default that collides with other tools) reads
    // as 19999; migrateIfNeeded() is what rewrites it, since no getter ever writes.
    int socksPort() const;
    int httpProxyPort() const;

    // Brings an older store up to the current schema and rewrites a retired SOCKS port (also in a
    // store already on the current schema); every program calls it once, before reading a setting.
    void migrateIfNeeded() const;

private:
    std::string textOr(const char* key, const char* fallback) const;
    void replaceForeignPresetsOnce() const;

    PreferenceStore* store_;
    const PlatformProfile* profile_;
};

}  // namespace nimbra
