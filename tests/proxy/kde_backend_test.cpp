// KDE's kioslaverc through the real kwriteconfig5/kreadconfig5 of a private desktop store (the
// round trips through SystemProxy are in system_proxy_test.cpp); dbus-send records its arguments.

#include "proxy/system_proxy/kde_backend.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "proxy/system_proxy/proxy_error.hpp"
#include "support/file_text.hpp"
#include "support/private_desktop_store.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using Values = testing::PrivateDesktopStore::Values;

const std::string kReparse =
    "--session --type=signal /KIO/Scheduler org.kde.KIO.Scheduler.reparseSlaveConfiguration "
    "string:\n";
const LocalEndpoints kOurs;

class KdeBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir_ / "dbus-send")
            << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << signals_.string() << "'\n";
        fs::permissions(dir_ / "dbus-send", fs::perms::owner_all);
    }

    testing::TempDir dir_;
    // Throws, failing the test, with the package to install when the store cannot be used.
    testing::PrivateDesktopStore store_{dir_.path(), testing::PrivateDesktopStore::Desktop::kde};
    const fs::path kioslaverc_ = dir_ / "config" / "kioslaverc", signals_ = dir_ / "signals";
    KdeProxyBackend kde_{{"kwriteconfig5", "kreadconfig5", (dir_ / "dbus-send").string()}};
};

TEST_F(KdeBackendTest, AbsentAndEmptyEntriesComeBackAsTheyWere) {
    // kreadconfig complains about a broken kdeglobals on standard error: none of it is a value.
    std::ofstream(dir_ / "config" / "kdeglobals") << "[General\nbroken line\n";
    const Values users{{"httpProxy", "http://proxy.corp.example 3128"},
                       {"socksProxy", ""},  // present but empty, which is not absent
                       {"NoProxyFor", " intranet.example,$HOME,ü.example"},
                       {"ProxyType", "1"}};
    store_.seed(users);
    store_.seed({{"Authmode", "1"}});  // not ours: never read, never written
    const std::string before = readFile(kioslaverc_);
    const ProxySettings prior = kde_.read("");
    EXPECT_EQ(prior.values, users);

    kde_.applyFull("", {"127.0.0.1", 19998, 19999, standardBypassDomains()});
    // KDE's own "scheme://host port" form, which its settings dialog splits into host and port.
    EXPECT_EQ(kde_.read("").values, (Values{{"httpProxy", "http://127.0.0.1 19998"},
                                            {"httpsProxy", "http://127.0.0.1 19998"},
                                            {"socksProxy", "socks://127.0.0.1 19999"},
                                            {"NoProxyFor",
                                             "127.0.0.1,localhost,*.local,10.0.0.0/8,"
                                             "172.16.0.0/12,192.168.0.0/16,169.254.0.0/16"},
                                            {"ReversedException", "false"},
                                            {"ProxyType", "1"}}));
    kde_.applyAutoSplit("", kOurs.pacAddress() + "?v=1700000000");
    EXPECT_TRUE(kde_.pointsAt(kde_.read(""), kOurs));

    kde_.restore(prior);
    EXPECT_EQ(readFile(kioslaverc_), before);  // httpsProxy, the script, ReversedException deleted
    EXPECT_EQ(readFile(signals_), kReparse + kReparse + kReparse);
}

TEST_F(KdeBackendTest, SwitchesOffOnlyWhatIsOursAndNothingOfTheUsers) {
    // Manual proxying with these servers; "" leaves an entry out.
    const auto manual = [](std::string http, std::string https, std::string socks,
                           std::string type = "1") {
        Values values{{"ProxyType", type}, {"httpProxy", http}, {"httpsProxy", https}};
        values["socksProxy"] = socks;
        std::erase_if(values, [](const auto& entry) { return entry.second.empty(); });
        return values;
    };
    const std::string web = "http://127.0.0.1 19998", socks = "socks://127.0.0.1 19999";
    const std::string ourPac = kOurs.pacAddress() + "?v=1700000000";
    // Whether it points at us and is switched off.
    const std::tuple<bool, bool, Values> cases[] = {
        {true, true, Values{{"ProxyType", "2"}, {"Proxy Config Script", ourPac}}},
        {false, false,
         Values{{"ProxyType", "2"}, {"Proxy Config Script", "http://wpad.example/x.pac"}}},
        {true, true, manual(web, web, socks)},
        {true, true, manual("http://localhost:19998/", "[::1]:19998", "")},
        {true, false, manual("http://proxy.corp.example 3128", "", socks)},  // the user's
        {false, false, manual("http://10.0.0.5 19998", "", "")},
        {false, false, manual(web, web, socks, "0")},
    };
    for (const auto& [pointsAt, switchedOff, values] : cases) {
        SCOPED_TRACE(::testing::PrintToString(values));
        kde_.restore({"kde", "", values});
        const std::string signalsBefore = readFile(signals_);
        EXPECT_EQ(kde_.pointsAt(kde_.read(""), kOurs), pointsAt);

        kde_.switchOffOurs(kde_.read(""), kOurs);
        Values expected = values;
        if (switchedOff) expected["ProxyType"] = "0";
        EXPECT_EQ(kde_.read("").values, expected);
        EXPECT_EQ(readFile(signals_), signalsBefore + (switchedOff ? kReparse : ""));
    }
}

TEST_F(KdeBackendTest, RefusedWritesThrowAMissingBusDoesNot) {
    // A group locked down the KDE way: kwriteconfig refuses every entry in it.
    std::ofstream(kioslaverc_) << "[Proxy Settings][$i]\nProxyType=0\n";
    EXPECT_THROW(kde_.restore({"kde", "", {{"ProxyType", "1"}}}), ProxyError);
    fs::remove(kioslaverc_);
    // No session bus to tell (a server, an ssh login): the settings are written all the same.
    KdeProxyBackend noBus({"kwriteconfig5", "kreadconfig5", (dir_ / "none").string()});
    noBus.applyAutoSplit("", kOurs.pacAddress());
    EXPECT_EQ(kde_.read("").value("ProxyType"), "2");
}

}  // namespace
}  // namespace nimbra
