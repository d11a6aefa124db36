#include "model/app_preferences.hpp"

#include "model/preference_keys.hpp"

namespace nimbra {
namespace {

constexpr int64_t kMaxPort = 65535;

// A usable TCP port; anything else (absent, 0, negative, beyond 65535) gives the default.
int portOr(std::optional<int64_t> stored, int fallback) {
    if (!stored || *stored < 1 || *stored > kMaxPort) return fallback;
    return static_cast<int>(*stored);
}

// A list exactly as the macOS presets were stored: same apps in the same order, each still enabled
// and proxied. Ids are fresh per store, so they are not compared.
bool isUntouchedMacosPresets(const std::vector<AppRuleItem>& rules) {
    const auto macos = PlatformProfile::forMacos().appRulePresets;
    if (rules.size() != macos.size()) return false;
    for (size_t i = 0; i < rules.size(); ++i) {
        const AppRuleItem& rule = rules[i];
        const AppPreset stored{rule.name, rule.bundleId, rule.executableName, rule.appPath};
        if (stored != macos[i] || !rule.isEnabled || rule.target != AppRuleTarget::proxy) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string AppPreferences::textOr(const char* key, const char* fallback) const {
    auto stored = store_->text(key);
    return stored && !stored->empty() ? *stored : fallback;
}

ConnectionMode AppPreferences::connectionMode() const {
    auto stored = store_->text(prefkey::connectionMode).value_or("socks");
    return connectionModeFromRaw(stored).value_or(ConnectionMode::socks);
}

SplitTunnelMode AppPreferences::splitTunnelMode() const {
    return store_->text(prefkey::splitTunnelMode) == "auto" ? SplitTunnelMode::autoSplit
                                                            : SplitTunnelMode::full;
}

bool AppPreferences::preferHttp2() const {
    return store_->boolean(prefkey::preferHttp2).value_or(false);
}

std::string AppPreferences::nat64Prefix() const {
    return textOr(prefkey::nat64Prefix, "none");
}

bool AppPreferences::chinaDirect() const {
    return store_->boolean(prefkey::chinaDirect).value_or(true);
}

std::string AppPreferences::daemonDNSMode() const {
    return textOr(prefkey::daemonDNSMode, "cloudflare");
}

std::string AppPreferences::daemonDNSProfile() const {
    return store_->text(prefkey::daemonDNSProfile).value_or("");
}

std::string AppPreferences::daemonDNSDevice() const {
    return textOr(prefkey::daemonDNSDevice, "Nimbra");
}

std::string AppPreferences::daemonDNSCustom() const {
    return store_->text(prefkey::daemonDNSCustom).value_or("");
}

AppLanguage AppPreferences::uiLanguage() const {
    return appLanguageFromPreference(store_->text(prefkey::uiLanguage).value_or("en"));
}

AppTheme AppPreferences::theme() const {
    return appThemeFromPreference(store_->text(prefkey::uiTheme).value_or("system"));
}

std::vector<AppRuleItem> AppPreferences::appRules() const {
    if (auto stored = store_->data(prefkey::appRulesList)) {
        if (auto rules = decodeAppRules(*stored)) return *rules;
    }
    return AppRuleItem::defaultPresets(*profile_);
}

void AppPreferences::setAppRules(const std::vector<AppRuleItem>& rules) const {
    store_->setData(prefkey::appRulesList, encodeAppRules(rules));
}

AppRuleTarget AppPreferences::defaultAppFallback() const {
    return store_->text(prefkey::defaultAppFallback) == "proxy" ? AppRuleTarget::proxy
                                                                : AppRuleTarget::direct;
}

void AppPreferences::setDefaultAppFallback(AppRuleTarget target) const {
    store_->setText(prefkey::defaultAppFallback, rawValue(target));
}

int AppPreferences::socksPort() const {
    auto stored = store_->integer(prefkey::socksPort);
    if (stored == kRetiredSocksPort) return kDefaultSocksPort;  // migrateIfNeeded stores it
    return portOr(stored, kDefaultSocksPort);
}

int AppPreferences::httpProxyPort() const {
    return portOr(store_->integer(prefkey::httpProxyPort), kDefaultHttpProxyPort);
}

void AppPreferences::migrateIfNeeded() const {
    // Not tied to a schema version: the old port can come back at any time (an older build, a
    // restored backup), and checking it is one cached read.
    if (store_->integer(prefkey::socksPort) == kRetiredSocksPort) {
        store_->setInteger(prefkey::socksPort, kDefaultSocksPort);
    }

    replaceForeignPresetsOnce();

    const int64_t version = store_->integer(prefkey::prefsVersion).value_or(0);
    if (version >= kSchemaVersion) return;

    if (version <= 3) {
        store_->remove(prefkey::obsoleteSystemSocksProxy);
        auto split = store_->text(prefkey::splitTunnelMode);
        if (!store_->contains(prefkey::splitTunnelMode) || split == "lan_bypass") {
            store_->setText(prefkey::splitTunnelMode, "full");
        }
    }
    if (version <= 4) {
        auto dns = store_->text(prefkey::daemonDNSMode);
        if (!dns || dns->empty()) store_->setText(prefkey::daemonDNSMode, "cloudflare");
    }
    if (version <= 5) {
        if (!store_->contains(prefkey::appRulePolicy)) {
            store_->setText(prefkey::appRulePolicy, "proxy_selected");
        }
        auto rules = store_->data(prefkey::appRulesList);
        if (!rules || rules->empty()) setAppRules(AppRuleItem::defaultPresets(*profile_));
        store_->setInteger(prefkey::prefsVersion, 6);
    }
    store_->setBoolean(prefkey::preferHttp2, false);
    store_->setInteger(prefkey::prefsVersion, kSchemaVersion);
}

// Earlier Linux builds stored the macOS presets, whose /Applications bundles never exist here and
// whose identifiers match no desktop entry. A list still exactly so is replaced by this system's
// presets, once: after the check a list like that can only be the user's own doing. Not tied to
// the schema version, which those builds already wrote; macOS keeps its list as it is.
void AppPreferences::replaceForeignPresetsOnce() const {
    if (profile_->appRulePresets == PlatformProfile::forMacos().appRulePresets) return;
    if (store_->boolean(prefkey::appRulePresetsChecked).value_or(false)) return;
    if (auto stored = store_->data(prefkey::appRulesList)) {
        auto rules = decodeAppRules(*stored);
        if (rules && isUntouchedMacosPresets(*rules))
            setAppRules(AppRuleItem::defaultPresets(*profile_));
    }
    store_->setBoolean(prefkey::appRulePresetsChecked, true);
}

}  // namespace nimbra
