// KDE's proxy settings through the real kwriteconfig5/kreadconfig5 on a HOME and config directory
// of the test's own: the user's real ~/.config is never read or written. dbus-send is a stand-in
// that records its arguments, so no signal reaches a real session bus.

#include "proxy/system_proxy/kde_backend.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "proxy/system_proxy/proxy_error.hpp"
#include "proxy/system_proxy/settings_tool.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "system/process_control.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using Values = std::map<std::string, std::string>;

const std::string kReparse =
    "[--session][--type=signal][/KIO/Scheduler]"
    "[org.kde.KIO.Scheduler.reparseSlaveConfiguration][string:]";
const LocalEndpoints kOurs;
const FullProxyRequest kFull{"127.0.0.1", 19998, 19999, standardBypassDomains()};

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class KdeBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"kwriteconfig5", "kreadconfig5"}) {
            if (!process_control::which(tool)) {
                GTEST_FAIL() << tool << " is missing: install libkf5config-bin";
            }
        }
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "config");
        fs::create_directories(dir_ / "system-config");
        std::ofstream(dir_ / "dbus-send")
            << "#!/bin/sh\nfor arg in \"$@\"; do printf '[%s]' \"$arg\"; done >> '"
            << (dir_ / "signals").string() << "'\necho >> '" << (dir_ / "signals").string()
            << "'\n";
        fs::permissions(dir_ / "dbus-send", fs::perms::owner_all);
    }

    // A setting made the way KDE's own tools make it, outside the back-end.
    void userSets(const std::string& group, const std::string& key, const std::string& value) {
        settings_tool::write(
            {"kwriteconfig5", "--file", "kioslaverc", "--group", group, "--key", key, "--", value});
    }
    void userSets(const std::string& key, const std::string& value) {
        userSets("Proxy Settings", key, value);
    }

    fs::path kioslaverc() const { return dir_ / "config" / "kioslaverc"; }
    std::vector<std::string> signalsSent() const {
        std::vector<std::string> lines;
        std::istringstream in(fileText(dir_ / "signals"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    testing::TempDir dir_;
    // Children inherit these: KConfig finds kioslaverc under XDG_CONFIG_HOME, and an empty
    // XDG_CONFIG_DIRS keeps this machine's /etc/xdg/kioslaverc out of the readings.
    testing::ScopedEnv home_{"HOME", (dir_ / "home").string()};
    testing::ScopedEnv config_{"XDG_CONFIG_HOME", (dir_ / "config").string()};
    testing::ScopedEnv systemConfig_{"XDG_CONFIG_DIRS", (dir_ / "system-config").string()};
    KdeProxyBackend kde_{{"kwriteconfig5", "kreadconfig5", (dir_ / "dbus-send").string()}};
};

TEST_F(KdeBackendTest, UsersManualProxyComesBackByteForByteAfterEitherMode) {
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "full" : "auto split");
        fs::remove(kioslaverc());
        // kreadconfig complains about a broken kdeglobals on standard error; none of that may
        // end up in a value.
        std::ofstream(dir_ / "config" / "kdeglobals") << "[General\nbroken line\n";
        userSets("httpProxy", "http://proxy.corp.example 3128");
        userSets("socksProxy", "");  // present but empty: must not read as absent
        userSets("NoProxyFor", " intranet.example,.corp.example,$HOME,ü.example");
        userSets("ProxyType", "1");
        userSets("Authmode", "1");  // not ours: never read, never written
        userSets("Cache", "MaxCacheSize", "5120");
        const std::string before = fileText(kioslaverc());

        const ProxySettings prior = kde_.read("");
        EXPECT_EQ(prior.backend, "kde");
        EXPECT_EQ(prior.values, (Values{{"httpProxy", "http://proxy.corp.example 3128"},
                                        {"socksProxy", ""},
                                        {"NoProxyFor",
                                         " intranet.example,.corp.example,$HOME,"
                                         "ü.example"},
                                        {"ProxyType", "1"}}));

        if (full) {
            kde_.applyFull("", kFull);
        } else {
            kde_.applyAutoSplit("", kOurs.pacAddress() + "?v=1700000000");
        }
        EXPECT_NE(fileText(kioslaverc()), before);
        EXPECT_TRUE(kde_.pointsAt(kde_.read(""), kOurs));

        kde_.restore(prior);
        EXPECT_EQ(fileText(kioslaverc()), before);
        EXPECT_EQ(kde_.read(""), prior);  // httpsProxy, the script, ReversedException: absent
        EXPECT_FALSE(kde_.pointsAt(kde_.read(""), kOurs));
    }
    EXPECT_EQ(signalsSent(), std::vector<std::string>(4, kReparse));  // each apply and restore
}

TEST_F(KdeBackendTest, AppliesWriteKdesOwnEntriesIntoTheTemporaryConfig) {
    ASSERT_FALSE(fs::exists(kioslaverc()));
    kde_.applyFull("", kFull);
    ASSERT_TRUE(fs::exists(kioslaverc())) << "kioslaverc belongs in the test's XDG_CONFIG_HOME";
    const ProxySettings full = kde_.read("");
    EXPECT_EQ(full.values, (Values{{"httpProxy", "http://127.0.0.1 19998"},
                                   {"httpsProxy", "http://127.0.0.1 19998"},
                                   {"socksProxy", "socks://127.0.0.1 19999"},
                                   {"NoProxyFor",
                                    "127.0.0.1,localhost,*.local,10.0.0.0/8,172.16.0.0/12,"
                                    "192.168.0.0/16,169.254.0.0/16"},
                                   {"ReversedException", "false"},
                                   {"ProxyType", "1"}}));
    EXPECT_EQ(kde_.describe(full), (std::vector<std::string>{
                                       "ProxyType: 1 (manual)",
                                       "httpProxy: http://127.0.0.1 19998",
                                       "httpsProxy: http://127.0.0.1 19998",
                                       "socksProxy: socks://127.0.0.1 19999",
                                       "NoProxyFor: " + full.value("NoProxyFor"),
                                       "ReversedException: false",
                                   }));

    const std::string pac = kOurs.pacAddress() + "?v=42";
    kde_.applyAutoSplit("", pac);
    const ProxySettings autoSplit = kde_.read("");
    EXPECT_EQ(autoSplit.value("Proxy Config Script"), pac);
    EXPECT_EQ(autoSplit.value("ProxyType"), "2");
    EXPECT_EQ(kde_.describe(autoSplit).front(), "ProxyType: 2 (PAC script)");
    EXPECT_EQ(signalsSent(), std::vector<std::string>(2, kReparse));
}

TEST_F(KdeBackendTest, SwitchesOffOnlyWhatIsOursAndNothingOfTheUsers) {
    const auto pac = [](const std::string& url) {
        return Values{{"ProxyType", "2"}, {"Proxy Config Script", url}};
    };
    // Manual proxying with these servers; "" leaves an entry out.
    const auto manual = [](const std::string& http, const std::string& https,
                           const std::string& socks, const std::string& type = "1") {
        Values values{{"ProxyType", type}, {"NoProxyFor", "localhost"}};
        if (!http.empty()) values["httpProxy"] = http;
        if (!https.empty()) values["httpsProxy"] = https;
        if (!socks.empty()) values["socksProxy"] = socks;
        return values;
    };
    const std::string ourPac = kOurs.pacAddress() + "?v=1700000000";
    const std::string web = "http://127.0.0.1 19998", socks = "socks://127.0.0.1 19999";
    const std::string usersWeb = "http://proxy.corp.example 3128";
    struct Case {
        const char* name;
        bool socksOnly;
        bool pointsAt;
        bool switchedOff;
        Values values;
    } cases[] = {
        {"our PAC", false, true, true, pac(ourPac)},
        {"our PAC, SOCKS-only clean-up", true, true, false, pac(ourPac)},
        {"the user's PAC", false, false, false, pac("http://wpad.corp.example/proxy.pac")},
        {"full mode in KDE's form", false, true, true, manual(web, web, socks)},
        {"ours in colon and plain forms", false, true, true,
         manual("http://localhost:19998/", "[::1]:19998", "")},
        {"the user's web proxy next to our SOCKS", false, true, false, manual(usersWeb, "", socks)},
        {"our port on another host", false, false, false, manual("http://10.0.0.5 19998", "", "")},
        {"ours while proxying is off", false, false, false, manual(web, web, socks, "0")},
        {"SOCKS-only: our SOCKS alone", true, true, true, manual("", "", socks)},
        {"SOCKS-only: our web proxy is not this call's", true, true, false, manual(web, "", socks)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProxySettings stored{"kde", "", c.values};
        kde_.restore(stored);
        const std::size_t signalsBefore = signalsSent().size();
        EXPECT_EQ(kde_.pointsAt(kde_.read(""), kOurs), c.pointsAt);

        kde_.switchOffOurs(kde_.read(""), kOurs, c.socksOnly);
        Values expected = c.values;
        if (c.switchedOff) expected["ProxyType"] = "0";
        EXPECT_EQ(kde_.read("").values, expected);
        EXPECT_EQ(signalsSent().size(), signalsBefore + (c.switchedOff ? 1 : 0));
    }
}

TEST_F(KdeBackendTest, FailuresOfTheToolsAndTheBus) {
    // A group locked down the KDE way: kwriteconfig refuses every entry in it.
    std::ofstream(kioslaverc()) << "[Proxy Settings][$i]\nProxyType=0\n";
    try {
        kde_.restore({"kde", "", {{"ProxyType", "1"}}});
        ADD_FAILURE() << "restore into a locked group must throw";
    } catch (const ProxyError& error) {
        const auto* failed = std::get_if<ProxyError::CommandFailed>(&error.reason());
        ASSERT_NE(failed, nullptr);
        EXPECT_EQ(failed->message, "kwriteconfig5 failed (2)");
    }
    EXPECT_THROW(kde_.applyFull("", kFull), ProxyError);
    EXPECT_EQ(kde_.read("").values, (Values{{"ProxyType", "0"}}));
    fs::remove(kioslaverc());

    // No session bus to tell (a server): the settings are written all the same.
    KdeProxyBackend noBus({"kwriteconfig5", "kreadconfig5", (dir_ / "no-dbus-send").string()});
    noBus.applyAutoSplit("", kOurs.pacAddress());
    EXPECT_EQ(noBus.read("").value("ProxyType"), "2");

    // No kreadconfig: nothing reads, nothing throws.
    KdeProxyBackend noReader(
        {"kwriteconfig5", (dir_ / "no-kreadconfig").string(), (dir_ / "dbus-send").string()});
    EXPECT_EQ(noReader.read(""), (ProxySettings{"kde", "", {}}));
}

TEST(KdeBackendTools, PlasmaSixToolsOnlyWhenBothAreInstalled) {
    const auto pick = [](std::set<std::string> installed) {
        const auto tools = KdeProxyBackend::installedTools(
            [&](const std::string& program) { return installed.contains(program); });
        return tools.writeConfig + " " + tools.readConfig;
    };
    EXPECT_EQ(pick({"kwriteconfig6", "kreadconfig6", "kwriteconfig5", "kreadconfig5"}),
              "kwriteconfig6 kreadconfig6");
    EXPECT_EQ(pick({"kwriteconfig6", "kwriteconfig5", "kreadconfig5"}),
              "kwriteconfig5 kreadconfig5");
    EXPECT_EQ(pick({}), "kwriteconfig5 kreadconfig5");
}

}  // namespace
}  // namespace nimbra
