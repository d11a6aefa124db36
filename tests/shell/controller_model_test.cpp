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

// The texts themselves are the L10n table's (tests/l10n); here what the model adds to them.
TEST_F(ShellModelTest, TheButtonFollowsThePhase) {
    const struct {
        WarpPhase phase;
        const char* raw;
        bool enabled, connected;
    } cases[] = {
        {WarpPhase::disconnected, "Disconnected", true, false},
        {WarpPhase::preparing, "Preparing", true, false},
        {WarpPhase::startingEngine, "Starting", true, false},
        {WarpPhase::connected, "Connected", true, true},
        {WarpPhase::reconnecting, "Reconnecting", true, true},
        {WarpPhase::stopping, "Disconnecting", false, false},
        {WarpPhase::error, "Error", true, false},
    };
    store.setText(prefkey::uiLanguage, "zh");
    ASSERT_TRUE(waitUntil([&] { return model.language() == "zh"; }));
    for (const auto& c : cases) {
        model.applySnapshot(snapshotIn(c.phase));
        EXPECT_EQ(model.phase(), c.raw) << "the raw phase is an identifier, never translated";
        EXPECT_EQ(model.buttonEnabled(), c.enabled) << c.raw;
        EXPECT_EQ(model.isConnected(), c.connected) << c.raw;
    }
    // The labels are the current language's.
    EXPECT_EQ(model.phaseLabel(), QStringLiteral("出错"));
    EXPECT_EQ(model.buttonLabel(), QStringLiteral("连接"));
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
