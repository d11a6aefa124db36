#include "presentation/desktop_notice.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace nimbra::presentation {
namespace {

// One row per change; `before` is a connect under way unless the row says otherwise.
TEST(DesktopNotice, OnlyAHiddenWindowsUserHearsOfAFailureTheyCannotSee) {
    struct Row {
        const char* why;
        std::function<void(ControllerSnapshot& before, ControllerSnapshot& after)> change;
        bool visible, startedHidden;
        AppLanguage language;
        std::optional<DesktopNotice> expected;
    };
    const auto failed = [](auto&, auto& after) { after.lastConnectError = "usque exited early"; };
    const auto healFailed = [](auto&, auto& after) { after.healFailure = "Heal failed — x"; };
    const std::vector<Row> rows{
        {"connect from the tray fails", failed, false, true, AppLanguage::chinese,
         DesktopNotice{"Nimbra 连接失败", "usque exited early"}},
        {"the window is up: it shows the failure", failed, true, true, AppLanguage::english, {}},
        {"started from the window, hidden since", failed, false, false, AppLanguage::english, {}},
        {"an old error stays",
         [](auto& before, auto& after) {
             before.lastConnectError = after.lastConnectError = "old";
         },
         false,
         true,
         AppLanguage::english,
         {}},
        {"first failed heal", healFailed, false, false, AppLanguage::english,
         DesktopNotice{"Nimbra could not repair the connection", "Heal failed — x"}},
        {"a later report of the same outage",
         [](auto& before, auto& after) {
             before.healFailure = "Heal failed — x";
             after.healFailure = "Heal incomplete — y";
         },
         false,
         false,
         AppLanguage::english,
         {}},
        {"heal fails in view", healFailed, true, false, AppLanguage::english, {}},
        {"nothing failed", [](auto&, auto&) {}, false, true, AppLanguage::english, {}},
    };
    for (const Row& row : rows) {
        ControllerSnapshot before, after;
        row.change(before, after);
        EXPECT_EQ(noticeFor(before, after, row.visible, row.startedHidden, row.language),
                  row.expected)
            << row.why;
    }
}

}  // namespace
}  // namespace nimbra::presentation
