// GNOME's proxy settings in the real gsettings + dconf of a private desktop store (the round trips
// through SystemProxy are in system_proxy_test.cpp): what is written, in which order, and whose.

#include "proxy/system_proxy/gnome_backend.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "base/text.hpp"
#include "proxy/system_proxy/proxy_error.hpp"
#include "support/file_text.hpp"
#include "support/private_desktop_store.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using Values = testing::PrivateDesktopStore::Values;

const LocalEndpoints kOurs;

// Every key as gsettings prints it; a proxy is "host:port", or "" for none.
Values settingsWith(const std::string& mode, const std::string& pacUrl, const std::string& http,
                    const std::string& https = "", const std::string& socks = "") {
    Values values{{"mode", "'" + mode + "'"}, {"autoconfig-url", "'" + pacUrl + "'"}};
    values["ignore-hosts"] = "['localhost', 'intranet.example']";
    values["use-same-proxy"] = "true";
    for (const auto& [kind, server] :
         {std::pair<std::string, std::string>{"http", http}, {"https", https}, {"socks", socks}}) {
        const auto colon = server.rfind(':');
        values[kind + ".host"] = "'" + server.substr(0, colon) + "'";
        values[kind + ".port"] = server.empty() ? "0" : server.substr(colon + 1);
    }
    return values;
}

// The back-end runs the real gsettings through a wrapper that logs each call: the order of
// writes is what the store itself cannot show.
class GnomeBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir_ / "gsettings")
            << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << log_.string() << "'\nexec "
            << GnomeProxyBackend::Tools{}.gsettings << " \"$@\"\n";
        fs::permissions(dir_ / "gsettings", fs::perms::owner_all);
    }

    std::vector<std::string> calls() {
        auto lines = text::splitLines(testing::readFile(log_));
        fs::remove(log_);
        return lines;
    }

    testing::TempDir dir_;
    // Throws, failing the test, with the package to install when the store cannot be used.
    testing::PrivateDesktopStore store_{dir_.path(), testing::PrivateDesktopStore::Desktop::gnome};
    const fs::path log_ = dir_ / "calls";
    GnomeProxyBackend backend_{{(dir_ / "gsettings").string()}};
};

TEST_F(GnomeBackendTest, WritesUrlBeforeModeModeLastAndQuotesEveryString) {
    const std::string pacUrl = "http://127.0.0.1:19998/proxy.pac?v=1";
    backend_.applyAutoSplit("", pacUrl);
    EXPECT_THAT(calls(), ElementsAre("set org.gnome.system.proxy autoconfig-url '" + pacUrl + "'",
                                     "set org.gnome.system.proxy mode 'auto'"));

    std::vector<std::string> bypass = standardBypassDomains();
    bypass.insert(bypass.end(), {" *.corp.example ", "", "localhost", "odd'host\\name"});
    backend_.applyFull("", {"127.0.0.1", 19998, 19999, bypass});
    EXPECT_EQ(calls().back(), "set org.gnome.system.proxy mode 'manual'");
    Values expected =
        settingsWith("manual", pacUrl, "127.0.0.1:19998", "127.0.0.1:19998", "127.0.0.1:19999");
    expected["use-same-proxy"] = "false";
    // "<local>" has no GNOME form, blanks and repeats go; quote and backslash stay data.
    expected["ignore-hosts"] =
        R"(['127.0.0.1', 'localhost', '*.local', '10.0.0.0/8', '172.16.0.0/12', )"
        R"('192.168.0.0/16', '169.254.0.0/16', '*.corp.example', "odd'host\\name"])";
    EXPECT_EQ(store_.values(), expected);

    // A value gsettings prints in double quotes goes back as it was; a key the snapshot could
    // not read stays as it is now.
    store_.seed({{"http.host", R"('it\'s "odd" \\ host')"}});
    ProxySettings prior = backend_.read("");
    ASSERT_EQ(prior.value("http.host"), R"("it's \"odd\" \\ host")");
    prior.values.erase("socks.port");
    backend_.applyFull("", {"localhost", 1, 2, {}});
    calls();
    backend_.restore(prior);
    EXPECT_EQ(calls().back(), "set org.gnome.system.proxy mode 'manual'");
    expected["http.host"] = prior.value("http.host");
    expected["socks.port"] = "2";
    EXPECT_EQ(store_.values(), expected);

    // Output that is no value of its key (a complaint, here an echo) is never kept for a restore;
    // a refused write throws.
    EXPECT_EQ(GnomeProxyBackend({"/bin/echo"}).read("").values, Values{});
    GnomeProxyBackend failing({"/bin/false"});
    EXPECT_THROW(failing.applyAutoSplit("", pacUrl), ProxyError);
    EXPECT_THROW(failing.restore(prior), ProxyError);
}

TEST_F(GnomeBackendTest, SwitchOffOursTouchesOnlyWhatPointsAtUs) {
    const std::string ourPac = kOurs.pacAddress() + "?v=1700000000";
    const std::string relay = "127.0.0.1:19998", socks = "127.0.0.1:19999", users = "10.0.0.5:3128";
    const auto manual = [](auto... servers) { return settingsWith("manual", "", servers...); };
    // Points at us, switched off. Our relay counts under 'manual' only.
    const std::tuple<bool, bool, Values> cases[] = {
        {false, false, manual(users, users)},
        {false, false, manual("127.0.0.1:8888")},
        {true, true, manual(relay, relay, socks)},
        {true, true, manual("", "", "localhost:19999")},
        {true, false, manual(users, users, socks)},  // the user's beside ours: left alone
        {true, true, settingsWith("auto", ourPac, relay)},
        {false, false, settingsWith("auto", "http://wpad.example/proxy.pac", relay)},
        {false, false, settingsWith("none", ourPac, relay)},
    };
    for (const auto& [pointsAt, switchedOff, settings] : cases) {
        SCOPED_TRACE(::testing::PrintToString(settings));
        store_.seed(settings);
        const ProxySettings current = backend_.read("");
        ASSERT_EQ(current.values, settings);
        EXPECT_EQ(backend_.pointsAt(current, kOurs), pointsAt);
        backend_.switchOffOurs(current, kOurs);
        Values expected = settings;
        if (switchedOff) expected["mode"] = "'none'";
        EXPECT_EQ(store_.values(), expected);
    }
}

}  // namespace
}  // namespace nimbra
