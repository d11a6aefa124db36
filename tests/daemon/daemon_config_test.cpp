#include "daemon/daemon_config.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "base/preference_store.hpp"
#include "daemon/daemon_installer.hpp"
#include "model/app_preferences.hpp"
#include "model/preference_keys.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

struct ExcludesCase {
    const char* name;
    std::string config;
    std::string block;
};

// The daemon's own way of writing the list, and the ways a hand-edited file can go wrong.
const ExcludesCase kExcludesCases[] = {
    {"no file content", "", "excludes: []\n"},
    {"inline empty list", "dns:\n  mode: off\nexcludes: []", "excludes: []\n"},
    {"inline empty list with line feed", "http2: false\nexcludes: []\n", "excludes: []\n"},
    {"two entries", "china_direct: true\nexcludes:\n  - 10.0.0.0/8\n  - example.com\n",
     "excludes:\n  - 10.0.0.0/8\n  - example.com\n"},
    {"block then more keys", "excludes:\n  - 1.2.3.4\nhttp2: true\n", "excludes:\n  - 1.2.3.4\n"},
    {"last entry without line feed is dropped", "excludes:\n  - a.com\n  - b.com",
     "excludes:\n  - a.com\n"},
    {"key with nothing under it", "excludes:\nhttp2: true\n", "excludes:\n"},
    {"blank lines before the entries", "excludes:\n\n  - a.com\n", "excludes:\n\n  - a.com\n"},
    {"trailing blanks after the key", "excludes:   \n- a.com\n", "excludes:   \n- a.com\n"},
    {"dash with the value on the next line", "excludes:\n  -\n    a.com\n",
     "excludes:\n  -\n    a.com\n"},
    {"entry of blanks only", "excludes:\n  -  \n", "excludes:\n  -  \n"},
    {"blanks after a dash reach the next line", "excludes:\n  -  \nx: 1\n",
     "excludes:\n  -  \nx: 1\n"},
    {"key at end of file without line feed", "excludes:", "excludes: []\n"},
    {"first of two blocks", "excludes:\n  - a\nexcludes:\n  - b\n", "excludes:\n  - a\n"},
    {"inline list skipped for a later block", "excludes: []\nexcludes:\n  - a\n",
     "excludes:\n  - a\n"},
    {"carriage returns end an entry early", "excludes:\r\n  - a.com\r\n", "excludes:\r\n"},
};

TEST(DaemonConfigTest, CarriesTheExcludesBlockTheDaemonWrote) {
    for (const auto& c : kExcludesCases) {
        EXPECT_EQ(carriedExcludesBlock(c.config), c.block) << c.name;
    }
}

TEST(DaemonConfigTest, LongExclusionListsAreCarriedWhole) {
    std::string block = "excludes:\n";
    for (int i = 0; i < 50'000; ++i) block += "  - host" + std::to_string(i) + ".example.com\n";
    EXPECT_EQ(carriedExcludesBlock("dns:\n  mode: off\n" + block + "http2: true\n"), block);
}

TEST(DaemonConfigTest, FileTextRemovesDoubleQuotesFromTheQuotedValuesOnly) {
    DaemonConfigValues values;
    values.dnsMode = "custom";
    values.dnsCustom = R"("https://dns.example/q")";
    values.dnsProfile = R"(ab"c)";
    values.dnsDevice = R"(My "Laptop")";
    values.http2 = true;
    values.nat64Prefix = "2602:fc59:b0:64::";
    values.chinaDirect = false;
    EXPECT_EQ(daemonConfigText(values, "excludes:\n  - 10.0.0.0/8\n"),
              "dns:\n"
              "  mode: custom\n"
              "  custom: \"https://dns.example/q\"\n"
              "  profile: \"abc\"\n"
              "  device: \"My Laptop\"\n"
              "http2: true\n"
              "nat64_prefix: \"2602:fc59:b0:64::\"\n"
              "china_direct: false\n"
              "excludes:\n"
              "  - 10.0.0.0/8\n");
    EXPECT_EQ(defaultDaemonConfigText(values), "dns:\n  mode: custom\nhttp2: true\nexcludes: []");
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

TEST_F(SyncPreferencesTest, WritesTheDefaultsIntoAMissingDirectory) {
    DaemonInstaller::syncPreferences(preferences_, work_);
    EXPECT_EQ(readFile(config_),
              "dns:\n  mode: cloudflare\n  custom: \"\"\n  profile: \"\"\n  device: \"Nimbra\"\n"
              "http2: false\nnat64_prefix: \"none\"\nchina_direct: true\nexcludes: []\n");
    EXPECT_FALSE(fs::exists(registration_));  // no registration yet: nothing is created
}

TEST_F(SyncPreferencesTest, KeepsTheDaemonsExclusionsOrItsEmptyList) {
    store_.setText(prefkey::daemonDNSMode, "nextdns");
    store_.setText(prefkey::daemonDNSProfile, "a1b2c3");
    store_.setBoolean(prefkey::chinaDirect, false);
    for (const std::string& excludes :
         {std::string("excludes:\n  - 192.168.0.0/16\n  - corp.example\n"),
          std::string("excludes: []\n")}) {
        writeFile(config_, "dns:\n  mode: off\n" + excludes);
        DaemonInstaller::syncPreferences(preferences_, work_);
        EXPECT_EQ(readFile(config_),
                  "dns:\n  mode: nextdns\n  custom: \"\"\n  profile: \"a1b2c3\"\n"
                  "  device: \"Nimbra\"\nhttp2: false\nnat64_prefix: \"none\"\n"
                  "china_direct: false\n" +
                      excludes);
    }
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
