#include "daemon/daemon_config.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "base/preference_store.hpp"
#include "daemon/daemon_installer.hpp"
#include "model/app_preferences.hpp"
#include "model/preference_keys.hpp"
#include "nimbrad/daemon_config.hpp"
#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

struct ExcludesCase {
    const char* name;
    std::string config;
    std::string block;
};

// The daemon's own way of writing the list, and the ways a hand-edited file can go wrong.
const ExcludesCase kExcludesCases[] = {
    {"no file content", "", "excludes: []\n"},
    {"two entries", "china_direct: true\nexcludes:\n  - 10.0.0.0/8\n  - example.com\n",
     "excludes:\n  - 10.0.0.0/8\n  - example.com\n"},
    {"block then more keys", "excludes:\n  - 1.2.3.4\nhttp2: true\n", "excludes:\n  - 1.2.3.4\n"},
    {"last entry without line feed is dropped", "excludes:\n  - a.com\n  - b.com",
     "excludes:\n  - a.com\n"},
    {"blanks after a dash reach the next line", "excludes:\n  -  \nx: 1\n",
     "excludes:\n  -  \nx: 1\n"},
    {"key at end of file without line feed", "excludes:", "excludes: []\n"},
    {"inline list skipped for a later block", "excludes: []\nexcludes:\n  - a\n",
     "excludes:\n  - a\n"},
    {"carriage returns end an entry early", "excludes:\r\n  - a.com\r\n", "excludes:\r\n"},
};

TEST(DaemonConfigTest, CarriesTheExcludesBlockTheDaemonWrote) {
    for (const auto& c : kExcludesCases) {
        EXPECT_EQ(carriedExcludesBlock(c.config), c.block) << c.name;
    }
    // However long the list: a long one is carried whole.
    std::string block = "excludes:\n";
    for (int i = 0; i < 50'000; ++i) block += "  - host" + std::to_string(i) + ".example.com\n";
    EXPECT_EQ(carriedExcludesBlock("dns:\n  mode: off\n" + block + "http2: true\n"), block);
}

class SyncPreferencesTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path work_ = dir_ / "Nimbra";
    fs::path config_ = work_ / "daemon" / "config.yml";
    fs::path registration_ = work_ / "config.json";
    PreferenceStore store_{dir_ / "preferences.json"};
    AppPreferences preferences_{store_};
    ScopedEnv v4_{"NIMBRA_ENDPOINT_V4", "162.159.198.1"};
    ScopedEnv v6_{"NIMBRA_ENDPOINT_V6", "2606:4700:103::1"};
};

// The daemon's reading of config.yml, as a value that prints when a comparison fails.
auto fieldsOf(const nimbrad::DaemonConfig& c) {
    return std::tie(c.dnsMode, c.dnsCustom, c.dnsProfile, c.dnsDevice, c.http2, c.nat64Prefix,
                    c.chinaDirect, c.excludes);
}

// The client writes config.yml and root's daemon reads it with its own parser: whatever drifts
// between the two (a key, quoting, the exclusions the daemon keeps in the same file) shows here.
TEST_F(SyncPreferencesTest, TheDaemonReadsBackWhatTheClientWrote) {
    const auto expectDaemonReads = [&](const nimbrad::DaemonConfig& expected) {
        const nimbrad::ParsedDaemonConfig parsed = nimbrad::parseDaemonConfig(readFile(config_));
        EXPECT_EQ(parsed.warnings, std::vector<std::string>{});
        EXPECT_EQ(fieldsOf(parsed.config), fieldsOf(expected));
    };
    DaemonInstaller::syncPreferences(preferences_, work_);  // into a missing directory
    expectDaemonReads({"cloudflare", "", "", "Nimbra", false, "none", true, {}});
    EXPECT_FALSE(fs::exists(registration_));  // no registration yet: nothing is created

    // The daemon adds exclusions; the user's next change keeps them, and double quotes typed
    // into a value cannot end it early.
    writeFile(config_, nimbrad::withExcludes(readFile(config_), {"10.0.0.0/8", "corp.example"}));
    store_.setText(prefkey::daemonDNSMode, "custom");
    store_.setText(prefkey::daemonDNSCustom, R"("https://dns.example/q")");
    store_.setText(prefkey::daemonDNSProfile, R"(ab"c)");
    store_.setText(prefkey::daemonDNSDevice, R"(My "Laptop")");
    store_.setBoolean(prefkey::preferHttp2, true);
    store_.setText(prefkey::nat64Prefix, "2602:fc59:b0:64::");
    store_.setBoolean(prefkey::chinaDirect, false);
    DaemonInstaller::syncPreferences(preferences_, work_);
    expectDaemonReads({"custom",
                       "https://dns.example/q",
                       "abc",
                       "My Laptop",
                       true,
                       "2602:fc59:b0:64::",
                       false,
                       {"10.0.0.0/8", "corp.example"}});

    // The installer's first file, written before any sync.
    writeFile(config_, defaultDaemonConfigText(DaemonConfigValues::from(preferences_)));
    expectDaemonReads({"custom", "", "", "", true, "", false, {}});
}

TEST_F(SyncPreferencesTest, AFailedWriteLeavesNothingBehindAndDoesNotThrow) {
    writeFile(work_ / "daemon", "a file where the directory should be");
    EXPECT_NO_THROW(DaemonInstaller::syncPreferences(preferences_, work_));
    EXPECT_EQ(readFile(work_ / "daemon"), "a file where the directory should be");
}

// How each prefix becomes an endpoint, and which files are left alone, is the registration
// rewrite's own test (tests/engine); here only that the sync asks for it.
TEST_F(SyncPreferencesTest, PointsTheRegistrationAtTheChosenGateway) {
    writeFile(registration_, R"({"private_key":"k","endpoint_v6":"old","endpoint_v4":"x"})");
    for (const auto& [prefix, endpoint] :
         {std::pair{"2602:fc59:b0:64::", "2602:fc59:b0:64::a29f:c601"},
          std::pair{"none", "2606:4700:103::1"}}) {
        store_.setText(prefkey::nat64Prefix, prefix);
        DaemonInstaller::syncPreferences(preferences_, work_);
        const auto registration = nlohmann::json::parse(readFile(registration_));
        EXPECT_EQ(registration["endpoint_v6"], endpoint) << prefix;
        EXPECT_EQ(registration["private_key"], "k");
    }
    EXPECT_NE(readFile(config_).find("nat64_prefix: \"none\"\n"), std::string::npos);
}

}  // namespace
}  // namespace nimbra
