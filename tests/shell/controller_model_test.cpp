#include "shell/controller_model.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "base/preference_store.hpp"
#include "model/preference_keys.hpp"
#include "shell/core_host.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

// Over a controller whose core thread is never started, so no snapshot arrives meanwhile.
TEST(ShellModelTest, ALanguageWrittenOnAnotherThreadReachesTheGuiThreadQueued) {
    nimbra::testing::TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    CoreHost host{store};
    ControllerModel model{host.runtime(), host.controller(), store};
    int notifications = 0;
    QObject::connect(&model, &ControllerModel::changed, [&] { ++notifications; });
    std::thread writer([&] { store.setText(prefkey::uiLanguage, "zh"); });
    writer.join();
    // The listener ran on the writer's thread; the model only changes once the GUI loop runs.
    EXPECT_EQ(notifications, 0);
    EXPECT_EQ(model.phaseLabel(), "Disconnected");

    ASSERT_TRUE(nimbra::testing::waitUntil([&] { return model.phaseLabel() == "未连接"; }));
    EXPECT_EQ(notifications, 1);
}

}  // namespace
}  // namespace nimbra::shell
