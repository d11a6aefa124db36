// Preference defaults, fallbacks, the SOCKS/HTTP port rules and the schema migration.

#include "model/app_preferences.hpp"

#include <gtest/gtest.h>

#include "base/preference_store.hpp"
#include "model/nat64_gateway.hpp"
#include "model/preference_keys.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

class AppPreferencesTest : public ::testing::Test {
protected:
    testing::TempDir dir_;
    PreferenceStore store_{dir_ / "preferences.json"};
    AppPreferences prefs_{store_};
};

TEST_F(AppPreferencesTest, AnEmptyStoreMigratesToTheCurrentSchema) {
    prefs_.migrateIfNeeded();
    EXPECT_EQ(store_.integer(prefkey::prefsVersion), 7);
    EXPECT_EQ(store_.boolean(prefkey::preferHttp2), false);
    EXPECT_EQ(store_.text(prefkey::splitTunnelMode), "full");
    EXPECT_EQ(store_.text(prefkey::daemonDNSMode), "cloudflare");
    EXPECT_EQ(store_.text(prefkey::appRulePolicy), "proxy_selected");
    const auto rules = prefs_.appRules();
    ASSERT_EQ(rules.size(), 7u);
    EXPECT_EQ(rules.front().name, "Google Chrome");
    EXPECT_EQ(rules.back().name, "Twitter / X");
    // The stored list is what is read back, not presets made up anew.
    EXPECT_EQ(prefs_.appRules(), rules);
}

TEST_F(AppPreferencesTest, VersionThreeRewritesTheRetiredSplitModeAndDropsTheObsoleteKey) {
    store_.setInteger(prefkey::prefsVersion, 3);
    store_.setText(prefkey::splitTunnelMode, "lan_bypass");
    store_.setBoolean(prefkey::obsoleteSystemSocksProxy, true);
    prefs_.migrateIfNeeded();
    EXPECT_EQ(store_.text(prefkey::splitTunnelMode), "full");
    EXPECT_FALSE(store_.contains(prefkey::obsoleteSystemSocksProxy));
    EXPECT_EQ(store_.integer(prefkey::prefsVersion), 7);
}

TEST_F(AppPreferencesTest, VersionThreeKeepsAutoSplit) {
    store_.setInteger(prefkey::prefsVersion, 3);
    store_.setText(prefkey::splitTunnelMode, "auto");
    prefs_.migrateIfNeeded();
    EXPECT_EQ(store_.text(prefkey::splitTunnelMode), "auto");
}

TEST_F(AppPreferencesTest, VersionSixOnlyTurnsHttp2Off) {
    store_.setInteger(prefkey::prefsVersion, 6);
    store_.setBoolean(prefkey::preferHttp2, true);
    store_.setText(prefkey::daemonDNSMode, "");  // step 3 would rewrite this; 6 skips it
    prefs_.migrateIfNeeded();
    auto after = store_.snapshot();
    EXPECT_EQ(store_.boolean(prefkey::preferHttp2), false);
    EXPECT_EQ(store_.integer(prefkey::prefsVersion), 7);
    EXPECT_EQ(store_.text(prefkey::daemonDNSMode), "");
    EXPECT_FALSE(store_.contains(prefkey::appRulesList));
    EXPECT_EQ(after.size(), 3u);
}

TEST_F(AppPreferencesTest, VersionFiveKeepsExistingRulesAndPolicy) {
    store_.setInteger(prefkey::prefsVersion, 5);
    store_.setText(prefkey::appRulePolicy, "custom");
    AppRuleItem only{"0C9E8B52-0000-4000-8000-000000000001",
                     "Firefox",
                     "",
                     "firefox",
                     "",
                     false,
                     AppRuleTarget::direct};
    prefs_.setAppRules({only});
    prefs_.migrateIfNeeded();
    EXPECT_EQ(store_.text(prefkey::appRulePolicy), "custom");
    EXPECT_EQ(prefs_.appRules(), std::vector<AppRuleItem>{only});
    EXPECT_FALSE(store_.contains(prefkey::splitTunnelMode));  // step 2 is not for version 5
}

TEST_F(AppPreferencesTest, VersionSevenOrLaterIsNeverTouched) {
    for (int64_t version : {7, 12}) {
        store_.setInteger(prefkey::prefsVersion, version);
        store_.setBoolean(prefkey::preferHttp2, true);
        store_.setText(prefkey::splitTunnelMode, "lan_bypass");
        const auto before = store_.snapshot();
        prefs_.migrateIfNeeded();
        EXPECT_EQ(store_.snapshot(), before);
    }
}

TEST_F(AppPreferencesTest, AccessorsFallBackToTheirDefaults) {
    EXPECT_EQ(prefs_.connectionMode(), ConnectionMode::socks);
    EXPECT_EQ(prefs_.splitTunnelMode(), SplitTunnelMode::full);
    EXPECT_TRUE(prefs_.chinaDirect());  // only absence gives true
    EXPECT_EQ(prefs_.nat64Prefix(), "none");
    EXPECT_EQ(prefs_.daemonDNSMode(), "cloudflare");
    EXPECT_EQ(prefs_.daemonDNSDevice(), "Nimbra");
    EXPECT_EQ(prefs_.uiLanguage(), AppLanguage::english);
    EXPECT_EQ(prefs_.theme(), AppTheme::system);
    EXPECT_EQ(prefs_.defaultAppFallback(), AppRuleTarget::direct);

    store_.setText(prefkey::connectionMode, "warp_everything");
    store_.setText(prefkey::splitTunnelMode, "AUTO");
    store_.setBoolean(prefkey::chinaDirect, false);
    store_.setText(prefkey::nat64Prefix, "");
    store_.setText(prefkey::daemonDNSMode, "quad9");
    store_.setText(prefkey::daemonDNSDevice, "");
    store_.setText(prefkey::uiLanguage, "fr");
    store_.setText(prefkey::uiTheme, "sepia");
    store_.setText(prefkey::defaultAppFallback, "Proxy");
    EXPECT_EQ(prefs_.connectionMode(), ConnectionMode::socks);
    EXPECT_EQ(prefs_.splitTunnelMode(), SplitTunnelMode::full);
    EXPECT_FALSE(prefs_.chinaDirect());
    EXPECT_EQ(prefs_.nat64Prefix(), "none");
    EXPECT_EQ(prefs_.daemonDNSMode(), "quad9");  // raw text, unvalidated
    EXPECT_EQ(prefs_.daemonDNSDevice(), "Nimbra");
    EXPECT_EQ(prefs_.uiLanguage(), AppLanguage::english);
    EXPECT_EQ(prefs_.theme(), AppTheme::system);
    EXPECT_EQ(prefs_.defaultAppFallback(), AppRuleTarget::direct);

    store_.setText(prefkey::connectionMode, "real_tun");
    store_.setText(prefkey::splitTunnelMode, "auto");
    store_.setText(prefkey::uiLanguage, "zh");
    store_.setText(prefkey::uiTheme, "dark");
    store_.setText(prefkey::defaultAppFallback, "proxy");
    EXPECT_EQ(prefs_.connectionMode(), ConnectionMode::realTun);
    EXPECT_EQ(prefs_.splitTunnelMode(), SplitTunnelMode::autoSplit);
    EXPECT_EQ(prefs_.uiLanguage(), AppLanguage::chinese);
    EXPECT_EQ(prefs_.theme(), AppTheme::dark);
    EXPECT_EQ(prefs_.defaultAppFallback(), AppRuleTarget::proxy);
}

TEST_F(AppPreferencesTest, SocksPortRewritesTheRetiredPortAndRejectsUnusableOnes) {
    store_.setInteger(prefkey::socksPort, 18088);
    EXPECT_EQ(prefs_.socksPort(), 19999);
    EXPECT_EQ(store_.integer(prefkey::socksPort), 19999);  // rewritten on read

    for (int64_t unusable : {0, -5, 70000}) {
        store_.setInteger(prefkey::socksPort, unusable);
        EXPECT_EQ(prefs_.socksPort(), 19999) << unusable;
        EXPECT_EQ(store_.integer(prefkey::socksPort), unusable);  // left as stored
    }
    store_.setInteger(prefkey::socksPort, 1080);
    EXPECT_EQ(prefs_.socksPort(), 1080);
    store_.remove(prefkey::socksPort);
    EXPECT_EQ(prefs_.socksPort(), 19999);
}

TEST_F(AppPreferencesTest, HttpPortFallsBackWithoutRewriting) {
    EXPECT_EQ(prefs_.httpProxyPort(), 19998);
    store_.setInteger(prefkey::httpProxyPort, -1);
    EXPECT_EQ(prefs_.httpProxyPort(), 19998);
    store_.setInteger(prefkey::httpProxyPort, 8118);
    EXPECT_EQ(prefs_.httpProxyPort(), 8118);
}

TEST(NAT64Gateway, OnlyTheExactConfiguredPrefixSelectsFremont) {
    EXPECT_EQ(nat64GatewayFromPrefix("2602:fc59:b0:64::"), NAT64Gateway::usFremont);
    EXPECT_EQ(rawValue(NAT64Gateway::usFremont), "2602:fc59:b0:64::");
    EXPECT_EQ(nat64GatewayFromPrefix("none"), NAT64Gateway::direct);
    EXPECT_EQ(nat64GatewayFromPrefix("64:ff9b::"), NAT64Gateway::direct);
    EXPECT_EQ(nat64GatewayFromPrefix("2602:FC59:B0:64::"), NAT64Gateway::direct);

    testing::ScopedEnv deployment("NIMBRA_FREMONT_NAT64_PREFIX", "64:ff9b::");
    EXPECT_EQ(nat64GatewayFromPrefix("64:ff9b::"), NAT64Gateway::usFremont);
}

}  // namespace
}  // namespace nimbra
