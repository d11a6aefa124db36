// The system proxy end to end on the desktops' real settings stores (GNOME's gsettings + dconf,
// KDE's kioslaverc), each private to the test: a user's own proxy must come back byte for byte
// after applies, a restore, a SIGKILL and the next start, and must never be switched off by us.

#include "proxy/system_proxy/system_proxy.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>

#include "base/subprocess.hpp"
#include "proxy/system_proxy/backend_choice.hpp"
#include "proxy/system_proxy/gnome_backend.hpp"
#include "proxy/system_proxy/proxy_error.hpp"
#include "proxy/system_proxy/unsupported_backend.hpp"
#include "support/line_reader.hpp"
#include "support/private_desktop_store.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Desktop = testing::PrivateDesktopStore::Desktop;

const LocalEndpoints kOurs{"127.0.0.1", 19998, 19999};

class SystemProxyTest : public ::testing::TestWithParam<Desktop> {
protected:
    // Throws, failing the test, with the package to install when the store cannot be used.
    void SetUp() override { store_.emplace(dir_.path(), GetParam()); }

    std::unique_ptr<SystemProxy> proxy() { return SystemProxy::forThisDesktop(kOurs); }

    bool pointsAtUs() {
        auto backend = proxyBackendForThisDesktop(kOurs);
        return backend->pointsAt(backend->read(""), kOurs);
    }

    // A separate process that applies and then waits, as a connected Nimbra does.
    Subprocess startApplier(const std::string& how) {
        Subprocess::Options options;
        options.argv = {std::string(NIMBRA_STANDIN_DIR) + "/proxy_applier", how, "19998", "19999"};
        Subprocess applier = Subprocess::start(std::move(options));
        testing::LineReader out(applier.releaseStdout());
        EXPECT_TRUE(out.waitFor("applied", 60s)) << out.transcript() << applier.takeStderr();
        return applier;
    }

    testing::TempDir dir_;
    std::optional<testing::PrivateDesktopStore> store_;
};

TEST_P(SystemProxyTest, UsersProxyComesBackAfterTwoAppliesAndOneRestore) {
    store_->seed(store_->usersManualProxy());
    const auto before = store_->values();
    auto systemProxy = proxy();

    systemProxy->enableAutoSplit("127.0.0.1", 19998);
    EXPECT_TRUE(pointsAtUs());
    // The journal is on disk before anything changed, and only the user may read it.
    struct stat info {};
    ASSERT_EQ(::stat(store_->journalFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    systemProxy->enableClashXProxies("127.0.0.1", 19998, 19999, standardBypassDomains());
    EXPECT_TRUE(pointsAtUs());
    systemProxy->restore();

    EXPECT_EQ(store_->values(), before);
    EXPECT_FALSE(fs::exists(store_->journalFile()));
}

TEST_P(SystemProxyTest, NextProcessRestoresWhatAKilledOneLeftBehind) {
    store_->seed(store_->usersManualProxy());
    const auto before = store_->values();
    Subprocess applier = startApplier("full");
    ASSERT_TRUE(pointsAtUs());

    // While the owner lives, its journal is not ours to act on.
    EXPECT_NE(proxy()->recoverLeftover().at(0).find("left alone"), std::string::npos);
    EXPECT_TRUE(pointsAtUs());

    applier.kill();
    applier.wait();
    ASSERT_TRUE(fs::exists(store_->journalFile()));
    Subprocess::Options repair;
    repair.argv = {NIMBRA_CLI, "repair-network"};
    const auto result = Subprocess::run(std::move(repair), 120s);
    EXPECT_EQ(result.status.code, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("restored"), std::string::npos) << result.out;

    EXPECT_EQ(store_->values(), before);
    EXPECT_FALSE(fs::exists(store_->journalFile()));
}

TEST_P(SystemProxyTest, SettingsTheUserChangedAfterTheCrashAreLeftAlone) {
    store_->seed(store_->usersManualProxy());
    Subprocess applier = startApplier("auto");
    applier.kill();
    applier.wait();
    store_->seed(store_->usersOtherProxy());
    const auto changed = store_->values();

    const auto lines = proxy()->recoverLeftover();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("changed"), std::string::npos) << lines[0];
    EXPECT_EQ(store_->values(), changed);
    EXPECT_FALSE(fs::exists(store_->journalFile()));
}

TEST_P(SystemProxyTest, WithoutASnapshotARestoreTouchesNothingAndOnlyRepairSwitchesUsOff) {
    // A failed connect that never wrote restores nothing: not even settings pointing at our
    // ports, which a local SOCKS user sets up by hand.
    auto backend = proxyBackendForThisDesktop(kOurs);
    backend->applyFull("", {"127.0.0.1", 19998, 19999, standardBypassDomains()});
    const auto users = store_->values();
    ASSERT_TRUE(pointsAtUs());
    proxy()->restore();
    EXPECT_EQ(store_->values(), users);

    // repair-network is the explicit way to switch them off.
    EXPECT_TRUE(proxy()->repair().clean);
    EXPECT_FALSE(pointsAtUs());
}

TEST(ProxyBackendChoice, DesktopNameFirstThenWhatIsUsable) {
    struct Case {
        DesktopFacts facts;
        const char* backend;
    };
    const Case cases[] = {
        {{"", true, false}, "networksetup"},
        {{"KDE", true, true}, "networksetup"},
        {{"ubuntu:GNOME", false, false}, "gnome"},
        {{"X-Cinnamon", false, false}, "gnome"},
        {{"KDE", false, true}, "kde"},
        {{"sway", false, true}, "gnome"},
        {{"sway", false, false}, "none"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chooseProxyBackend(c.facts), c.backend) << c.facts.currentDesktop;
    }

    // Where nothing can be written, the apply says what to do instead.
    UnsupportedProxyBackend none("sway", kOurs);
    EXPECT_THAT([&] { none.applyAutoSplit("", kOurs.pacAddress()); },
                ::testing::ThrowsMessage<ProxyError>(::testing::HasSubstr(
                    "point applications at http://127.0.0.1:19998 or socks5://127.0.0.1:19999")));
}

TEST(SystemProxyAtQuit, ARestoreThatCannotFinishInItsBudgetKeepsTheJournal) {
    // A gsettings that takes FAKE_DELAY seconds per call and otherwise agrees to everything.
    testing::TempDir dir;
    const auto tool = dir / "gsettings";
    std::ofstream(tool)
        << "#!/bin/sh\nsleep \"${FAKE_DELAY:-0}\"\n[ \"$1\" = get ] && echo \"'none'\"\n"
           "exit 0\n";
    fs::permissions(tool, fs::perms::owner_all);
    SystemProxy proxy(std::make_shared<GnomeProxyBackend>(GnomeProxyBackend::Tools{tool}), kOurs,
                      ProxyJournal(dir / "journal.json"));
    proxy.enableAutoSplit("127.0.0.1", 19998);

    std::optional<testing::ScopedEnv> slow(std::in_place, "FAKE_DELAY", "3");
    EXPECT_FALSE(proxy.restoreWithin(100ms));  // cut short: each call would take 3 s
    EXPECT_TRUE(fs::exists(dir / "journal.json"));
    slow.reset();
    EXPECT_TRUE(proxy.restoreWithin(60s));
    EXPECT_FALSE(fs::exists(dir / "journal.json"));
}

INSTANTIATE_TEST_SUITE_P(Desktops, SystemProxyTest, ::testing::Values(Desktop::gnome, Desktop::kde),
                         [](const auto& info) {
                             return info.param == Desktop::gnome ? "Gnome" : "Kde";
                         });

}  // namespace
}  // namespace nimbra
