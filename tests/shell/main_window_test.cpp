#include <gtest/gtest.h>

#include <QImage>
#include <QQmlComponent>
#include <QSignalSpy>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "shell_window_fixture.hpp"

namespace nimbra::shell {
namespace {

TEST_F(ShellWindowTest, ShowsTheControllersStateDrawsItAndAClickConnectsOnTheCoreThread) {
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

    // A click's attempt runs on the core thread and its failure comes back to the window.
    click(item("connectButton"));
    ASSERT_TRUE(waitUntil([&] { return text("phaseLabel") == "Error"; }))
        << "phase stayed " << text("phaseLabel").toStdString();
    EXPECT_EQ(text("detailLabel"), "scripted start failure");
    EXPECT_EQ(text("connectButton"), "Connect");
    EXPECT_TRUE(item("connectButton")->isEnabled());
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

// The per-app tab over a fixture applications folder: the presets are the configured rules, a
// scanned app gets a rule from its quick-add button with a toast, and the search narrows the list.
TEST_F(ShellWindowTest, AppRulesTabAddsAScannedAppFromItsRowAndSearchFilters) {
    std::filesystem::create_directories(dir / "share/applications");
    std::ofstream(dir / "share/applications/fixture-editor.desktop")
        << "[Desktop Entry]\nType=Application\nName=Fixture Editor\nExec=/bin/true %F\n";
    // Scans read the environment when they start, on this thread.
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((dir / "home").string()));
    qputenv("XDG_DATA_DIRS", QByteArray::fromStdString((dir / "share").string()));
    window->setProperty("currentTab", QStringLiteral("appRules"));
    appRulesModel.selectTab(QStringLiteral("configured"));
    for (const AppPreset& preset : PlatformProfile::current().appRulePresets) {
        EXPECT_TRUE(item(("appRuleRow_" + preset.name).c_str())->isVisible()) << preset.name;
    }
    // Connected in real TUN, a row shows where its app's traffic goes and the notice says that
    // rules apply live.
    const AppPreset& first = PlatformProfile::current().appRulePresets.front();
    auto snapshot = std::make_shared<ControllerSnapshot>(*model.snapshot());
    snapshot->runningMode = ConnectionMode::realTun;
    snapshot->appTraffic = {{first.identifier, true}};
    model.applySnapshot(snapshot);
    EXPECT_EQ(text(("appTraffic_" + first.name).c_str()), "Via tunnel");
    EXPECT_EQ(text("appRulesModeNotice"),
              "Real TUN: rules apply to running apps at once, no relaunch needed");

    appRulesModel.selectTab(QStringLiteral("all"));
    click(item("appRulesScan"));
    ASSERT_TRUE(waitUntil([&] { return !appRulesModel.rows().isEmpty(); }));
    click(item("quickAddProxy_Fixture Editor"));
    EXPECT_EQ(appRulesModel.toastText(), "Set Fixture Editor → Proxy");
    EXPECT_TRUE(item("toast")->isVisible());
    EXPECT_EQ(appRulesModel.tabs()[1].toMap()["title"].toString(),
              QString("Configured (%1)").arg(PlatformProfile::current().appRulePresets.size() + 1));

    appRulesModel.selectTab(QStringLiteral("configured"));
    item("appRulesSearch")->forceActiveFocus();
    for (const char key : std::string("editor")) QTest::keyClick(window, key);
    ASSERT_EQ(appRulesModel.rows().size(), 1);
    EXPECT_TRUE(item("appRuleRow_Fixture Editor")->isVisible());

    // nimbra-cli sets the editor to direct meanwhile: the tab shows it without a restart.
    PreferenceStore cli(store.file());
    AppPreferences cliRules(cli);
    auto rules = cliRules.appRules();
    rules.back().target = AppRuleTarget::direct;
    cliRules.setAppRules(rules);
    EXPECT_TRUE(waitUntil([&] {
        return appRulesModel.rows().value(0).toMap()["badge"].toString() == "Bypass (Direct)";
    }));
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_DATA_DIRS");
}

}  // namespace
}  // namespace nimbra::shell
