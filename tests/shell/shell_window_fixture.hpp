#pragma once

// The main window over a real core, shared by the window tests.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QFontDatabase>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <memory>

#include "base/preference_store.hpp"
#include "controller/controller_fakes.hpp"
#include "controller/warp_controller.hpp"
#include "proxy/system_proxy/backend_choice.hpp"
#include "shell/app_icon_provider.hpp"
#include "shell/app_rules_model.hpp"
#include "shell/controller_model.hpp"
#include "shell/core_host.hpp"
#include "shell/desktop_color_scheme_watch.hpp"
#include "shell/main_window_loader.hpp"
#include "shell/main_window_model.hpp"
#include "shell/theme.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {

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
        engine.rootContext()->setContextProperty(QStringLiteral("appRules"), &appRulesModel);
        installAppIconProvider(engine);
        // Built the way the client builds it: compiled and created without holding the GUI thread.
        QObject::connect(&loader, &MainWindowLoader::built,
                         [this](QQuickWindow* built) { window = built; });
        QObject::connect(&loader, &MainWindowLoader::failed,
                         [](const QString& errors) { ADD_FAILURE() << errors.toStdString(); });
        loader.start();
        ASSERT_TRUE(waitUntil([&] { return window != nullptr; }));
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
    void click(QQuickItem* target) {
        const QPointF centre =
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

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
    AppRulesModel appRulesModel{model, host.runtime(), store};
    QQmlApplicationEngine engine;
    MainWindowLoader loader{engine};
    QQuickWindow* window = nullptr;
    QQuickItem missing;
};

}  // namespace nimbra::shell
