#include "shell/main_window_lifecycle.hpp"

#include <gtest/gtest.h>

#include <QQuickWindow>
#include <QTest>

namespace nimbra::shell {
namespace {

TEST(MainWindowLifecycle, ToggleHidesOnlyTheWindowTheUserIsWorkingIn) {
    struct Row {
        bool visible, active, hides;
    };
    for (const Row& row : {Row{true, true, true}, Row{true, false, false}, Row{false, false, false},
                           Row{false, true, false}}) {
        EXPECT_EQ(toggleHides(row.visible, row.active), row.hides)
            << "visible " << row.visible << ", active " << row.active;
    }
}

TEST(MainWindowLifecycle, ClosingHidesTheSameWindowWhereItWas) {
    QQuickWindow window;
    MainWindowLifecycle lifecycle(window);
    window.setGeometry(40, 50, 800, 620);
    lifecycle.showExistingMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    EXPECT_FALSE(window.close()) << "the close is refused";
    EXPECT_FALSE(window.isVisible());
    window.setGeometry(0, 0, 100, 100);  // as a window manager placing a re-shown window might
    lifecycle.toggleMainWindow();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.geometry(), QRect(40, 50, 800, 620));
}

}  // namespace
}  // namespace nimbra::shell
