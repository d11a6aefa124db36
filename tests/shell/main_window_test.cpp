#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QFontDatabase>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <set>

#include "base/preference_store.hpp"
#include "controller/controller_fakes.hpp"
#include "controller/warp_controller.hpp"
#include "proxy/system_proxy/backend_choice.hpp"
#include "shell/controller_model.hpp"
#include "shell/core_host.hpp"
#include "shell/desktop_color_scheme_watch.hpp"
#include "shell/launch.hpp"
#include "shell/main_window_model.hpp"
#include "shell/theme.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

// An engine with nothing to start or stop.
struct IdleEngine final : TunnelEngine {
    explicit IdleEngine(int port) : port_(port) {}
    int socksPort() const override { return port_; }
    bool isRunning() const override { return false; }
    std::filesystem::path resolveBinary() const override { return "/nonexistent/usque"; }
    void ensureReady() override {}
    void startSocks(bool) override {}
    void stopProcessOnly() override {}
    void stop() override {}
    int port_;
};

using nimbra::testing::TempDir;
using nimbra::testing::waitUntil;

// The real window over a real controller on its own core thread, as the desktop client runs it.
// Any warning from QML (a binding that failed, a missing property) fails the test.
class ShellWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        QObject::connect(&engine, &QQmlEngine::warnings, [](const QList<QQmlError>& warnings) {
            for (const QQmlError& warning : warnings)
                ADD_FAILURE() << warning.toString().toStdString();
        });
        host.start();
        engine.rootContext()->setContextProperty(QStringLiteral("theme"), &theme);
        engine.rootContext()->setContextProperty(QStringLiteral("view"), &windowModel);
        window = loadMainWindow(engine);
        ASSERT_NE(window, nullptr);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        // The first snapshot comes from the core thread; until then the endpoints are empty.
        ASSERT_TRUE(waitUntil([&] { return !model.snapshot()->socksEndpoint.empty(); }));
    }

    static QQuickItem* findItem(QQuickItem* root, const QString& name) {
        if (root->objectName() == name) return root;
        for (QQuickItem* child : root->childItems()) {
            if (QQuickItem* found = findItem(child, name)) return found;
        }
        return nullptr;
    }
    // Looks through the visual tree, as the user would see it. A missing item fails the test,
    // which goes on with a detached stand-in.
    QQuickItem* item(const char* name) {
        QQuickItem* found = findItem(window->contentItem(), QString::fromUtf8(name));
        EXPECT_NE(found, nullptr) << "no item named " << name;
        return found ? found : &missing;
    }
    QString text(const char* name) { return item(name)->property("text").toString(); }

    TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    // Every connect attempt fails at once, whatever this machine has installed; its clean-up
    // touches neither a usque of this machine nor the desktop's proxy settings.
    CoreHost host{[this](CoreRuntime& runtime) {
        ControllerEnvironment environment{runtime, store};
        environment.startSequence = [](StartContext&,
                                       StartRequest) -> asio::awaitable<StartOutcome> {
            throw std::runtime_error("scripted start failure");
            co_return StartOutcome{};
        };
        environment.makeEngine = [](int port) { return std::make_shared<IdleEngine>(port); };
        // The window looks at the exit and the gateways when shown: nothing leaves the machine.
        environment.diagnostics = std::make_shared<nimbra::testing::FakeDiagnostics>();
        environment.makeSystemProxy = [this](const LocalEndpoints& ours) {
            return std::make_shared<SystemProxy>(proxyBackendNamed("none", ours), ours,
                                                 ProxyJournal(dir / "proxy-journal.json"));
        };
        return environment;
    }};
    ControllerModel model{host.runtime(), host.controller(), store};
    // No bus: the desktop says nothing, so the window is drawn light.
    DesktopColorSchemeWatch desktop{QDBusConnection(QString())};
    Theme theme{store, desktop, QFontDatabase::families()};
    MainWindowModel windowModel{model, host.runtime(), host.controller(), store};
    QQmlApplicationEngine engine;
    QQuickWindow* window = nullptr;
    QQuickItem missing;
};

TEST_F(ShellWindowTest, ShowsTheControllersStateAndDrawsIt) {
    EXPECT_EQ(window->title(), "Nimbra");
    EXPECT_EQ(text("phaseLabel"), "Disconnected");
    EXPECT_EQ(text("connectButton"), "Connect");
    QQuickItem* button = item("connectButton");
    EXPECT_TRUE(button->isVisible() && button->isEnabled());
    EXPECT_GT(button->width() * button->height(), 0);
    for (const char* region : {"navigation", "overviewPanel", "sparkline"}) {
        EXPECT_TRUE(item(region)->isVisible()) << region;
    }
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
