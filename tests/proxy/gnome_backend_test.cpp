// GNOME's proxy settings through the real gsettings and dconf, in a D-Bus session and a config
// directory of the test's own: the user's real settings are never read or written.

#include "proxy/system_proxy/gnome_backend.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "proxy/system_proxy/proxy_error.hpp"
#include "support/private_dbus_session.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Values = std::map<std::string, std::string>;

const std::vector<std::string> kKeys{
    "mode",      "autoconfig-url", "ignore-hosts", "use-same-proxy", "http.host",
    "http.port", "https.host",     "https.port",   "socks.host",     "socks.port"};

// gsettings' schema and key for one of the back-end's names ("http.port").
std::vector<std::string> schemaAndKey(const std::string& name) {
    const auto dot = name.find('.');
    if (dot == std::string::npos) return {"org.gnome.system.proxy", name};
    return {"org.gnome.system.proxy." + name.substr(0, dot), name.substr(dot + 1)};
}

// Every key as GVariant text; a proxy is "host:port" or "" for none.
Values settingsWith(const std::string& mode, const std::string& pacUrl, const std::string& http,
                    const std::string& https, const std::string& socks) {
    Values values{{"mode", "'" + mode + "'"},
                  {"autoconfig-url", "'" + pacUrl + "'"},
                  {"ignore-hosts", "['localhost', 'intranet.example', '10.0.0.0/8']"},
                  {"use-same-proxy", "true"}};
    const std::vector<std::pair<std::string, std::string>> proxies{
        {"http", http}, {"https", https}, {"socks", socks}};
    for (const auto& [kind, server] : proxies) {
        const auto colon = server.rfind(':');
        values[kind + ".host"] = "'" + (server.empty() ? "" : server.substr(0, colon)) + "'";
        values[kind + ".port"] = server.empty() ? "0" : server.substr(colon + 1);
    }
    return values;
}

const FullProxyRequest kOurProxies{
    .host = "127.0.0.1", .httpPort = 19998, .socksPort = 19999, .bypassDomains = {}};

const Values kUsersProxy =
    settingsWith("manual", "http://wpad.example/wpad.dat", "10.0.0.5:3128", "10.0.0.5:3128", "");

class GnomeBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(GnomeProxyBackend::Tools{}.gsettings)) {
            GTEST_FAIL() << GnomeProxyBackend::Tools{}.gsettings
                         << " is missing: install libglib2.0-bin, dconf-gsettings-backend, "
                            "dconf-service and gsettings-desktop-schemas";
        }
        // Everything dconf and the bus touch lives under the temp dir, and the profile names the
        // user database alone, so no system database or lock-down of this machine plays a part.
        fs::create_directories(dir_ / "config");
        fs::create_directories(dir_ / "runtime");
        fs::permissions(dir_ / "runtime", fs::perms::owner_all);
        std::ofstream(dir_ / "dconf-profile") << "user-db:user\n";
        setEnv("XDG_CONFIG_HOME", (dir_ / "config").string());
        setEnv("XDG_RUNTIME_DIR", (dir_ / "runtime").string());
        setEnv("DCONF_PROFILE", (dir_ / "dconf-profile").string());
        setEnv("GSETTINGS_BACKEND", "dconf");
        try {
            bus_.emplace(dir_ / "dbus");
        } catch (const std::exception& error) {
            GTEST_FAIL() << error.what();
        }
        setEnv("DBUS_SESSION_BUS_ADDRESS", bus_->address());
        // The schema's own default, written so the first test write already proves the store.
        seed({{"use-same-proxy", "true"}});
    }

    void setEnv(const std::string& name, const std::string& value) {
        env_.push_back(std::make_unique<testing::ScopedEnv>(name, value));
    }

    // One fresh gsettings run per key, apart from the back-end under test.
    Values storeValues() {
        Values values;
        for (const std::string& key : kKeys) {
            std::vector<std::string> argv{GnomeProxyBackend::Tools{}.gsettings, "get"};
            for (std::string& part : schemaAndKey(key)) argv.push_back(std::move(part));
            values[key] = run(std::move(argv));
        }
        return values;
    }

    void seed(const Values& values) {
        for (const auto& [key, value] : values) {
            std::vector<std::string> argv{GnomeProxyBackend::Tools{}.gsettings, "set"};
            for (std::string& part : schemaAndKey(key)) argv.push_back(std::move(part));
            argv.push_back(value);
            run(std::move(argv));
        }
        // The writes went to dconf in our own config directory, not to a memory back-end that
        // forgets them when gsettings exits (what a missing dconf module would give).
        ASSERT_TRUE(fs::exists(dir_ / "config" / "dconf" / "user"))
            << "dconf did not store the settings (are dconf-gsettings-backend and dconf-service "
               "installed?); bus log:\n"
            << bus_->stop();
    }

    std::string run(std::vector<std::string> argv) {
        Subprocess::Options options;
        options.argv = std::move(argv);
        const auto result = Subprocess::run(std::move(options), 30s);
        EXPECT_TRUE(result.status.succeeded()) << result.err;
        return std::string(text::trim(result.out));
    }

    testing::TempDir dir_;
    std::vector<std::unique_ptr<testing::ScopedEnv>> env_;
    std::optional<testing::PrivateDbusSession> bus_;
    GnomeProxyBackend backend_;
    const LocalEndpoints ours_;
};

TEST_F(GnomeBackendTest, UsersManualProxyComesBackByteForByteAfterEitherMode) {
    seed(kUsersProxy);
    const ProxySettings before = backend_.read("");
    EXPECT_EQ(before.backend, "gnome");
    EXPECT_EQ(before.values, kUsersProxy);
    EXPECT_FALSE(backend_.pointsAt(before, ours_));

    const std::string pacUrl = ours_.pacAddress() + "?v=1700000000";
    backend_.applyAutoSplit("", pacUrl);
    Values expected = kUsersProxy;
    expected["mode"] = "'auto'";
    expected["autoconfig-url"] = "'" + pacUrl + "'";
    EXPECT_EQ(storeValues(), expected);
    EXPECT_TRUE(backend_.pointsAt(backend_.read(""), ours_));
    backend_.restore(before);
    EXPECT_EQ(storeValues(), kUsersProxy);

    backend_.applyFull("", kOurProxies);
    EXPECT_EQ(storeValues().at("mode"), "'manual'");
    EXPECT_TRUE(backend_.pointsAt(backend_.read(""), ours_));
    backend_.restore(before);
    EXPECT_EQ(storeValues(), kUsersProxy);
}

TEST_F(GnomeBackendTest, FullModeWritesRelaySocksAndBypassList) {
    std::vector<std::string> bypass = standardBypassDomains();
    bypass.insert(bypass.end(), {" *.corp.example ", "", "localhost", "odd'host\\name"});
    backend_.applyFull(
        "", {.host = "127.0.0.1", .httpPort = 19998, .socksPort = 19999, .bypassDomains = bypass});

    Values expected =
        settingsWith("manual", "", "127.0.0.1:19998", "127.0.0.1:19998", "127.0.0.1:19999");
    expected["use-same-proxy"] = "false";
    // "<local>" has no GNOME form; the quote and backslash survive as data.
    expected["ignore-hosts"] =
        R"(['127.0.0.1', 'localhost', '*.local', '10.0.0.0/8', '172.16.0.0/12', )"
        R"('192.168.0.0/16', '169.254.0.0/16', '*.corp.example', "odd'host\\name"])";
    EXPECT_EQ(storeValues(), expected);

    EXPECT_THAT(backend_.describe(backend_.read("")),
                ElementsAre("mode: manual", "http: 127.0.0.1:19998", "https: 127.0.0.1:19998",
                            "socks: 127.0.0.1:19999", "use-same-proxy: false",
                            "ignore-hosts: 127.0.0.1, localhost, *.local, 10.0.0.0/8, "
                            "172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, *.corp.example, "
                            "odd'host\\name"));
}

TEST_F(GnomeBackendTest, SwitchOffOursTouchesOnlyWhatPointsAtUs) {
    const std::string ourPac = "http://127.0.0.1:19998/proxy.pac?v=1700000000";
    const std::string relay = "127.0.0.1:19998";
    const std::string socks = "127.0.0.1:19999";
    struct Case {
        const char* name;
        Values settings;
        bool socksOnly;
        bool pointsAt;
        bool switchedOff;
    };
    const std::vector<Case> cases{
        {"user's manual proxy", kUsersProxy, false, false, false},
        {"user's proxy on loopback, another port",
         settingsWith("manual", "", "127.0.0.1:8888", "", ""), false, false, false},
        {"our proxies", settingsWith("manual", "", relay, relay, socks), false, true, true},
        {"our proxies, SOCKS only", settingsWith("manual", "", relay, relay, socks), true, true,
         false},
        {"our SOCKS alone, SOCKS only", settingsWith("manual", "", "", "", "localhost:19999"), true,
         true, true},
        {"user's web proxy beside our SOCKS",
         settingsWith("manual", "", "10.0.0.5:3128", "10.0.0.5:3128", socks), false, true, false},
        {"our PAC", settingsWith("auto", ourPac, "", "", ""), false, true, true},
        {"our PAC, SOCKS only", settingsWith("auto", ourPac, "", "", ""), true, true, false},
        {"user's PAC", settingsWith("auto", "http://wpad.example/proxy.pac", relay, "", ""), false,
         false, false},
        {"ours left under none", settingsWith("none", ourPac, relay, relay, socks), false, false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seed(c.settings);
        const ProxySettings current = backend_.read("");
        ASSERT_EQ(current.values, c.settings);
        EXPECT_EQ(backend_.pointsAt(current, ours_), c.pointsAt);

        backend_.switchOffOurs(current, ours_, c.socksOnly);
        Values expected = c.settings;
        if (c.switchedOff) expected["mode"] = "'none'";
        EXPECT_EQ(storeValues(), expected);
    }
}

TEST_F(GnomeBackendTest, RestoreWritesQuotedValuesVerbatimAndLeavesAbsentKeysAlone) {
    Values users = kUsersProxy;
    users["http.host"] = R"('it\'s "odd" \\ host')";
    users["mode"] = "'none'";
    seed(users);
    ProxySettings prior = backend_.read("");
    // gsettings switches to double quotes for a string holding a single quote.
    ASSERT_EQ(prior.value("http.host"), R"("it's \"odd\" \\ host")");

    backend_.applyFull("", kOurProxies);
    // A snapshot that could read only some keys, plus one that is not ours to write.
    prior.values = {{"http.host", prior.value("http.host")},
                    {"mode", prior.value("mode")},
                    {"authentication-password", "'secret'"}};
    backend_.restore(prior);

    const Values after = storeValues();
    EXPECT_EQ(after.at("http.host"), R"("it's \"odd\" \\ host")");
    EXPECT_EQ(after.at("mode"), "'none'");
    EXPECT_EQ(after.at("socks.port"), "19999");  // absent from the snapshot: left as it was
    EXPECT_EQ(run({GnomeProxyBackend::Tools{}.gsettings, "get", "org.gnome.system.proxy.http",
                   "authentication-password"}),
              "''");
}

// The order of writes, which the store itself cannot show: a stand-in gsettings logs each call.
TEST(GnomeBackendWrites, UrlBeforeModeModeLastAndFailuresThrow) {
    testing::TempDir dir;
    const fs::path tool = dir / "gsettings";
    const fs::path log = dir / "calls";
    std::ofstream(tool) << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << log.string()
                        << "'\n[ \"$1\" = get ] && echo 'No such schema'\nexit 0\n";
    fs::permissions(tool, fs::perms::owner_all);
    GnomeProxyBackend backend({.gsettings = tool.string()});
    const auto calls = [&] {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        fs::remove(log);
        return lines;
    };

    // An error message in place of a value is left out, never kept for a restore.
    EXPECT_TRUE(backend.read("").values.empty());
    EXPECT_EQ(calls().size(), kKeys.size());

    backend.applyAutoSplit("", "http://127.0.0.1:19998/proxy.pac?v=1");
    EXPECT_THAT(calls(), ElementsAre("set org.gnome.system.proxy autoconfig-url "
                                     "'http://127.0.0.1:19998/proxy.pac?v=1'",
                                     "set org.gnome.system.proxy mode 'auto'"));

    backend.applyFull("", kOurProxies);
    EXPECT_EQ(calls().back(), "set org.gnome.system.proxy mode 'manual'");

    ProxySettings prior{.backend = "gnome", .scope = "", .values = kUsersProxy};
    backend.restore(prior);
    const auto restored = calls();
    EXPECT_EQ(restored.size(), kUsersProxy.size());
    EXPECT_EQ(restored.back(), "set org.gnome.system.proxy mode 'manual'");

    GnomeProxyBackend failing({.gsettings = "/bin/false"});
    EXPECT_THROW(failing.applyAutoSplit("", "http://127.0.0.1:19998/proxy.pac"), ProxyError);
    EXPECT_THROW(failing.restore(prior), ProxyError);
}

}  // namespace
}  // namespace nimbra
