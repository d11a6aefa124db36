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
    nimbra::testing::TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    CoreHost host{store};
    ControllerModel model{host.runtime(), host.controller(), store};
};

TEST_F(ShellModelTest, TheButtonFollowsThePhaseInEitherLanguage) {
    const struct {
        WarpPhase phase;
        const char *raw, *label, *button, *zhLabel, *zhButton;
        bool enabled, connected;
    } cases[] = {
        {WarpPhase::disconnected, "Disconnected", "Disconnected", "Connect", "未连接", "连接", true,
         false},
        {WarpPhase::preparing, "Preparing", "Connecting", "Cancel", "连接中", "取消", true, false},
        {WarpPhase::startingEngine, "Starting", "Connecting", "Cancel", "连接中", "取消", true,
         false},
        {WarpPhase::connected, "Connected", "Connected", "Disconnect", "已连接", "断开", true,
         true},
        {WarpPhase::reconnecting, "Reconnecting", "Reconnecting", "Disconnect", "重连中", "断开",
         true, true},
        {WarpPhase::stopping, "Disconnecting", "Disconnecting", "Disconnecting…", "断开中",
         "断开中…", false, false},
        {WarpPhase::error, "Error", "Error", "Connect", "出错", "连接", true, false},
    };
    for (const char* language : {"en", "zh"}) {
        store.setText(prefkey::uiLanguage, language);
        ASSERT_TRUE(waitUntil([&] { return model.language() == language; }));
        const bool zh = language == std::string("zh");
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.raw) + " in " + language);
            model.applySnapshot(snapshotIn(c.phase));
            EXPECT_EQ(model.phase(), c.raw) << "the raw phase is an identifier, never translated";
            EXPECT_EQ(model.phaseLabel(), zh ? c.zhLabel : c.label);
            EXPECT_EQ(model.buttonLabel(), zh ? c.zhButton : c.button);
            EXPECT_EQ(model.buttonEnabled(), c.enabled);
            EXPECT_EQ(model.isConnected(), c.connected);
        }
    }
}

TEST_F(ShellModelTest, ALanguageWrittenOnAnotherThreadReachesTheGuiThreadQueued) {
    model.applySnapshot(snapshotIn(WarpPhase::disconnected));
    int notifications = 0;
    QObject::connect(&model, &ControllerModel::changed, [&] { ++notifications; });
    std::thread writer([&] { store.setText(prefkey::uiLanguage, "zh"); });
    writer.join();
    // The listener ran on the writer's thread; the model only changes once the GUI loop runs.
    EXPECT_EQ(notifications, 0);
    EXPECT_EQ(model.phaseLabel(), "Disconnected");

    ASSERT_TRUE(waitUntil([&] { return model.phaseLabel() == QStringLiteral("未连接"); }));
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(model.property("connectionModeLabel").toString(), QStringLiteral("仅 SOCKS"));
}

}  // namespace
}  // namespace nimbra::shell
