#include "shell/controller_model.hpp"

#include <gtest/gtest.h>

#include <QVariant>
#include <memory>
#include <thread>

#include "base/preference_store.hpp"
#include "model/preference_keys.hpp"
#include "shell/core_host.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::TempDir;
using nimbra::testing::waitUntil;

SnapshotPtr snapshotIn(WarpPhase phase) {
    auto snapshot = std::make_shared<ControllerSnapshot>();
    snapshot->phase = phase;
    return snapshot;
}

// A model over a real controller whose core thread is never started: no snapshot ever arrives
// from the controller, so each test decides exactly what the model shows.
class ShellModelTest : public ::testing::Test {
protected:
    TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    CoreHost host{store};
    ControllerModel model{host.runtime(), host.controller(), store};
};

TEST_F(ShellModelTest, ButtonFollowsThePhaseInEnglish) {
    struct Case {
        WarpPhase phase;
        const char* raw;
        const char* label;
        const char* button;
        bool enabled;
        bool connected;
    };
    const Case cases[] = {
        {WarpPhase::disconnected, "Disconnected", "Disconnected", "Connect", true, false},
        {WarpPhase::preparing, "Preparing", "Connecting", "Cancel", true, false},
        {WarpPhase::startingEngine, "Starting", "Connecting", "Cancel", true, false},
        {WarpPhase::connected, "Connected", "Connected", "Disconnect", true, true},
        {WarpPhase::reconnecting, "Reconnecting", "Reconnecting", "Disconnect", true, true},
        {WarpPhase::stopping, "Disconnecting", "Disconnecting", "Disconnecting…", false, false},
        {WarpPhase::error, "Error", "Error", "Connect", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        model.applySnapshot(snapshotIn(c.phase));
        EXPECT_EQ(model.phase(), QString::fromUtf8(c.raw));
        EXPECT_EQ(model.phaseLabel(), QString::fromUtf8(c.label));
        EXPECT_EQ(model.buttonLabel(), QString::fromUtf8(c.button));
        EXPECT_EQ(model.buttonEnabled(), c.enabled);
        EXPECT_EQ(model.isConnected(), c.connected);
    }
}

TEST_F(ShellModelTest, ButtonAndStatusAreWordedInChineseWhenChosen) {
    store.setText(prefkey::uiLanguage, "zh");
    ASSERT_TRUE(waitUntil([&] { return model.language() == "zh"; }));

    model.applySnapshot(snapshotIn(WarpPhase::disconnected));
    EXPECT_EQ(model.buttonLabel(), QStringLiteral("连接"));
    model.applySnapshot(snapshotIn(WarpPhase::preparing));
    EXPECT_EQ(model.buttonLabel(), QStringLiteral("取消"));
    EXPECT_EQ(model.phaseLabel(), QStringLiteral("连接中"));
    model.applySnapshot(snapshotIn(WarpPhase::connected));
    EXPECT_EQ(model.buttonLabel(), QStringLiteral("断开"));
    EXPECT_EQ(model.phaseLabel(), QStringLiteral("已连接"));
    model.applySnapshot(snapshotIn(WarpPhase::stopping));
    EXPECT_EQ(model.buttonLabel(), QStringLiteral("断开中…"));
    // The raw phase is an identifier, not a label: it never changes with the language.
    EXPECT_EQ(model.phase(), QStringLiteral("Disconnecting"));
}

TEST_F(ShellModelTest, ShowsEveryPublishedField) {
    auto snapshot = std::make_shared<ControllerSnapshot>();
    snapshot->phase = WarpPhase::connected;
    snapshot->detail = "Connected over QUIC";
    snapshot->socksEndpoint = "127.0.0.1:19999";
    snapshot->httpEndpoint = "127.0.0.1:19998";
    snapshot->exitIp = "104.28.0.1";
    snapshot->exitLoc = "DE";
    snapshot->exitColo = "FRA";
    snapshot->exitWarp = "on";
    snapshot->connectionMode = ConnectionMode::globalTun;
    snapshot->http2 = true;
    snapshot->http2Tip = "tip";
    snapshot->conflictBanner = "another proxy is running";
    snapshot->usquePath = "/usr/bin/usque";
    snapshot->globalCoverageNote = "all apps";

    int notifications = 0;
    QObject::connect(&model, &ControllerModel::changed, [&] { ++notifications; });
    model.applySnapshot(snapshot);

    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(model.detail(), "Connected over QUIC");
    EXPECT_EQ(model.socksEndpoint(), "127.0.0.1:19999");
    EXPECT_EQ(model.httpEndpoint(), "127.0.0.1:19998");
    EXPECT_EQ(model.exitIp(), "104.28.0.1");
    EXPECT_EQ(model.exitLoc(), "DE");
    EXPECT_EQ(model.exitColo(), "FRA");
    EXPECT_EQ(model.exitWarp(), "on");
    EXPECT_EQ(model.connectionMode(), "global_tun");
    EXPECT_EQ(model.connectionModeLabel(), "System Proxy");
    EXPECT_TRUE(model.http2());
    EXPECT_EQ(model.http2Tip(), "tip");
    EXPECT_EQ(model.conflictBanner(), "another proxy is running");
    EXPECT_EQ(model.usquePath(), "/usr/bin/usque");
    EXPECT_EQ(model.globalCoverageNote(), "all apps");
    // Properties are read through the meta-object by QML; check that path too.
    EXPECT_EQ(model.property("exitColo").toString(), "FRA");
    EXPECT_EQ(model.property("isConnected").toBool(), true);
}

TEST_F(ShellModelTest, LanguageWrittenOnAnotherThreadReachesTheGuiThreadQueued) {
    model.applySnapshot(snapshotIn(WarpPhase::disconnected));
    ASSERT_EQ(model.phaseLabel(), "Disconnected");

    int notifications = 0;
    QObject::connect(&model, &ControllerModel::changed, [&] { ++notifications; });
    std::thread writer([&] { store.setText(prefkey::uiLanguage, "zh"); });
    writer.join();
    // The listener ran on the writer's thread; the model only changes once the GUI loop runs.
    EXPECT_EQ(notifications, 0);
    EXPECT_EQ(model.phaseLabel(), "Disconnected");

    ASSERT_TRUE(waitUntil([&] { return model.phaseLabel() == QStringLiteral("未连接"); }));
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(model.connectionModeLabel(), QStringLiteral("仅 SOCKS"));

    store.setText(prefkey::uiLanguage, "en");
    ASSERT_TRUE(waitUntil([&] { return model.phaseLabel() == "Disconnected"; }));
}

}  // namespace
}  // namespace nimbra::shell
