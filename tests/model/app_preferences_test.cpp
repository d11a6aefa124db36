#include "model/app_preferences.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <tuple>

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

TEST_F(AppPreferencesTest, AnEmptyStoreMigratesToTheCurrentSchemaWithStoredPresets) {
    const PlatformProfile linux = PlatformProfile::forLinux();
    AppPreferences(store_, linux).migrateIfNeeded();
    const auto rules = prefs_.appRules();
    ASSERT_EQ(rules.size(), 6u);
    EXPECT_EQ(rules[2].bundleId, "org.telegram.desktop");
    EXPECT_EQ(prefs_.appRules(), rules);  // read back as stored, not presets made up anew
    store_.remove(prefkey::appRulesList);
    EXPECT_EQ(store_.snapshotJson(),
              R"({"app_rule_policy":"proxy_selected","daemon_dns_mode":"cloudflare",)"
              R"("nimbra_app_rule_presets_checked":true,"nimbra_prefs_version":7,)"
              R"("split_tunnel_mode":"full","usque_prefer_http2":false})");
}

// Earlier Linux builds stored the macOS presets; only that list, untouched, gives way to the
// Linux presets, and only once.
TEST_F(AppPreferencesTest, AnUntouchedMacosPresetListIsReplacedOnceOnLinux) {
    using Edit = std::function<void(std::vector<AppRuleItem>&)>;
    const PlatformProfile linux = PlatformProfile::forLinux(), macos = PlatformProfile::forMacos();
    for (const auto& [edit, profile, replaced] :
         std::vector<std::tuple<Edit, PlatformProfile, bool>>{
             {[](auto&) {}, linux, true},
             {[](auto& r) { r[3].isEnabled = false; }, linux, false},
             {[](auto& r) { r[0].target = AppRuleTarget::direct; }, linux, false},
             {[](auto& r) { r.pop_back(); }, linux, false},
             {[](auto& r) { std::swap(r[0], r[1]); }, linux, false},
             {[](auto& r) { r.push_back(r[0]), r.back().appPath = "/opt/x.desktop"; }, linux,
              false},
             {[](auto&) {}, macos, false},
         }) {
        PreferenceStore stored(dir_ / (newUuid() + ".json"));
        std::vector<AppRuleItem> before = AppRuleItem::defaultPresets(macos);
        edit(before);
        AppPreferences prefs(stored, profile);
        prefs.setAppRules(before);
        prefs.migrateIfNeeded();
        const auto after = prefs.appRules();
        if (replaced) {
            ASSERT_EQ(after.size(), 6u);
            EXPECT_EQ(after[0].appPath, "/usr/share/applications/google-chrome.desktop");
        } else {
            EXPECT_EQ(after, before);
        }
        // A list made so again later, by hand, stays.
        prefs.setAppRules(AppRuleItem::defaultPresets(macos));
        prefs.migrateIfNeeded();
        EXPECT_EQ(prefs.appRules().size(), 7u);
    }
}

TEST_F(AppPreferencesTest, EachStoredVersionRunsOnlyTheStepsAfterIt) {
    // The stored file before and after; every one holds an (empty) rule list, which stays.
    const std::string rules = R"({"app_rules_list":{"base64":"W10="},)";
    const std::string migrated = R"({"app_rule_policy":"proxy_selected","app_rules_list":)"
                                 R"({"base64":"W10="},"daemon_dns_mode":"cloudflare",)";
    struct Case {
        std::string before, after;
    } cases[] = {
        {rules + R"("nimbra_prefs_version":3,"set_system_socks_proxy":true,)"
                 R"("split_tunnel_mode":"lan_bypass"})",
         migrated + R"("nimbra_prefs_version":7,"split_tunnel_mode":"full",)"
                    R"("usque_prefer_http2":false})"},
        {rules + R"("nimbra_prefs_version":3,"split_tunnel_mode":"auto"})",
         migrated + R"("nimbra_prefs_version":7,"split_tunnel_mode":"auto",)"
                    R"("usque_prefer_http2":false})"},
        {rules + R"("daemon_dns_mode":"","nimbra_prefs_version":4})",
         migrated + R"("nimbra_prefs_version":7,"usque_prefer_http2":false})"},
        {R"({"app_rule_policy":"custom","app_rules_list":{"base64":"W10="},)"
         R"("nimbra_prefs_version":5,"socks_port":18088})",
         R"({"app_rule_policy":"custom","app_rules_list":{"base64":"W10="},)"
         R"("nimbra_prefs_version":7,"socks_port":19999,"usque_prefer_http2":false})"},
        {rules + R"("daemon_dns_mode":"","nimbra_prefs_version":6,"usque_prefer_http2":true})",
         rules + R"("daemon_dns_mode":"","nimbra_prefs_version":7,"usque_prefer_http2":false})"},
        {rules + R"("nimbra_prefs_version":7,"split_tunnel_mode":"x","usque_prefer_http2":true})",
         rules + R"("nimbra_prefs_version":7,"split_tunnel_mode":"x","usque_prefer_http2":true})"},
        // The retired port is rewritten whatever the schema; other ports stay.
        {rules + R"("nimbra_prefs_version":12,"socks_port":18088,"usque_prefer_http2":true})",
         rules + R"("nimbra_prefs_version":12,"socks_port":19999,"usque_prefer_http2":true})"},
        {rules + R"("nimbra_prefs_version":7,"socks_port":18089})",
         rules + R"("nimbra_prefs_version":7,"socks_port":18089})"},
    };
    for (const Case& c : cases) {
        const auto file = dir_ / "stored.json";
        std::ofstream(file) << c.before;
        PreferenceStore stored(file);
        // The steps are the same everywhere; macOS adds no preset check of its own to the file.
        AppPreferences(stored, PlatformProfile::forMacos()).migrateIfNeeded();
        EXPECT_EQ(stored.snapshotJson(), c.after) << c.before;
    }
}

TEST_F(AppPreferencesTest, StoredValuesAreReadAndAbsentUnknownOrMistypedOnesGiveDefaults) {
    std::ofstream(dir_ / "bad.json")
        << R"({"connection_mode":"warp_everything","split_tunnel_mode":"AUTO","nat64_prefix":"",)"
           R"("daemon_dns_mode":"","daemon_dns_device":7,"ui_language":"fr","china_direct":"no",)"
           R"("nimbra_ui_theme":"sepia","default_app_fallback":"Proxy","socks_port":70000,)"
           R"("http_proxy_port":"8118","app_rules_list":{"base64":"W3t9XQ=="}})";  // [{}]
    PreferenceStore bad(dir_ / "bad.json");
    for (PreferenceStore* stored : {&store_, &bad}) {
        const AppPreferences prefs(*stored);
        EXPECT_EQ(prefs.connectionMode(), ConnectionMode::socks);
        EXPECT_EQ(prefs.splitTunnelMode(), SplitTunnelMode::full);
        EXPECT_EQ(prefs.nat64Prefix(), "none");
        EXPECT_EQ(prefs.daemonDNSMode(), "cloudflare");
        EXPECT_EQ(prefs.daemonDNSDevice(), "Nimbra");
        EXPECT_EQ(prefs.uiLanguage(), AppLanguage::english);
        EXPECT_EQ(prefs.theme(), AppTheme::system);
        EXPECT_EQ(prefs.defaultAppFallback(), AppRuleTarget::direct);
        EXPECT_TRUE(prefs.chinaDirect());
        EXPECT_EQ(prefs.appRules().size(), PlatformProfile::current().appRulePresets.size());
        EXPECT_EQ(prefs.socksPort(), 19999);
        EXPECT_EQ(prefs.httpProxyPort(), 19998);
    }
    EXPECT_EQ(bad.integer(prefkey::socksPort), 70000);  // left as stored
    store_.setBoolean(prefkey::chinaDirect, false);
    store_.setText(prefkey::daemonDNSMode, "quad9");
    store_.setInteger(prefkey::httpProxyPort, 8118);
    store_.setInteger(prefkey::socksPort, 18088);  // retired: reads as the default
    EXPECT_FALSE(prefs_.chinaDirect());
    EXPECT_EQ(prefs_.daemonDNSMode(), "quad9");  // raw text, unvalidated
    EXPECT_EQ(prefs_.httpProxyPort(), 8118);
    EXPECT_EQ(prefs_.socksPort(), 19999);
    // Reading wrote nothing: the file is as before, only the migration rewrites the port.
    EXPECT_EQ(PreferenceStore(store_.file()).integer(prefkey::socksPort), 18088);
}

TEST(NAT64Gateway, OnlyTheExactConfiguredPrefixSelectsFremont) {
    EXPECT_EQ(nat64GatewayFromPrefix("2602:fc59:b0:64::"), NAT64Gateway::usFremont);
    EXPECT_EQ(nat64GatewayFromPrefix("2602:FC59:B0:64::"), NAT64Gateway::direct);
    EXPECT_EQ(nat64GatewayFromPrefix("none"), NAT64Gateway::direct);
    testing::ScopedEnv deployment("NIMBRA_FREMONT_NAT64_PREFIX", "64:ff9b::");
    EXPECT_EQ(nat64GatewayFromPrefix("64:ff9b::"), NAT64Gateway::usFremont);
}

}  // namespace
}  // namespace nimbra
