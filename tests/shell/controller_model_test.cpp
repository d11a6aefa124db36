#include "shell/controller_model.hpp"

#include <gtest/gtest.h>

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
    EXPECT_EQ(model.appLanguage(), AppLanguage::chinese);
}

}  // namespace
}  // namespace nimbra::shell
