#include <gtest/gtest.h>

#include <QImage>
#include <QQmlComponent>
#include <QSignalSpy>
#include <memory>
#include <set>

#include "shell_window_fixture.hpp"

namespace nimbra::shell {
namespace {

TEST_F(ShellWindowTest, ShowsTheControllersStateAndDrawsIt) {
    EXPECT_EQ(window->title(), "Nimbra");
    EXPECT_EQ(text("phaseLabel"), "Disconnected");
    EXPECT_EQ(text("connectButton"), "Connect");
    EXPECT_TRUE(item("connectButton")->isEnabled());
    // Nothing to warn about: the banner and the tip take no room, until there is.
    EXPECT_FALSE(item("conflictBanner")->isVisible());
    EXPECT_FALSE(item("http2Tip")->isVisible());
    auto snapshot = std::make_shared<ControllerSnapshot>(*model.snapshot());
    snapshot->conflictBanner = "Another WARP client is running";
    snapshot->dnsWarning = "nimbrad refused the DNS profile";
    model.applySnapshot(snapshot);
    EXPECT_TRUE(item("conflictBanner")->isVisible());
    EXPECT_EQ(text("conflictBanner"), "Another WARP client is running");
    window->setProperty("currentTab", QStringLiteral("advanced"));
    EXPECT_TRUE(item("dnsWarning")->isVisible());
    EXPECT_EQ(text("dnsWarning"), "nimbrad refused the DNS profile");
    window->setProperty("currentTab", QStringLiteral("overview"));

    const QImage image = window->grabWindow();
    ASSERT_GE(image.width(), 300);
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 4) {
        for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
    }
    EXPECT_GT(colours.size(), 10u) << "the window rendered (almost) a single colour";
}

TEST_F(ShellWindowTest, ArrowKeysMoveBetweenTabsAndAnAppRulesRequestOpensItsTab) {
    item("navRow_overview")->forceActiveFocus();
    QTest::keyClick(window, Qt::Key_Down);
    EXPECT_EQ(window->property("currentTab").toString(), "exitNodes");
    EXPECT_TRUE(item("exitNodesPanel")->isVisible());
    EXPECT_FALSE(item("overviewPanel")->isVisible());

    window->setProperty("requestedTab", QStringLiteral("appRules"));
    EXPECT_EQ(window->property("currentTab").toString(), "appRules");
    EXPECT_TRUE(item("appRulesPanel")->isVisible());
}

TEST_F(ShellWindowTest, ClickingConnectRoundTripsThroughTheCoreThread) {
    QQuickItem* button = item("connectButton");
    const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());

    // The attempt runs on the core thread and its failure comes back to the window.
    ASSERT_TRUE(waitUntil([&] { return text("phaseLabel") == "Error"; }))
        << "phase stayed " << text("phaseLabel").toStdString();
    EXPECT_EQ(text("detailLabel"), "scripted start failure");
    EXPECT_EQ(button->property("text").toString(), "Connect");
    EXPECT_TRUE(button->isEnabled());
}

TEST_F(ShellWindowTest, KeyboardShortcutsShowQuitAndToggleTheConnection) {
    // The window asks its lifecycle to show itself; this one counts the asks.
    QQmlComponent counting(&engine);
    counting.setData(
        "import QtQml\nQtObject { property int shows: 0\n"
        "function showExistingMainWindow() { ++shows } }",
        QUrl());
    const std::unique_ptr<QObject> lifecycle(counting.create());
    window->setProperty("lifecycle", QVariant::fromValue(lifecycle.get()));
    const QSignalSpy quit(&engine, &QQmlEngine::quit);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));  // window shortcuts need the focus

    QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(lifecycle->property("shows").toInt(), 1);
    QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quit.count(), 1);
    QTest::keyClick(window, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(waitUntil([&] { return text("phaseLabel") == "Error"; }))
        << "the connect attempt never ran; phase " << text("phaseLabel").toStdString();
}

}  // namespace
}  // namespace nimbra::shell
