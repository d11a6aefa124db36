#include <QApplication>
#include <QFontDatabase>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSystemTrayIcon>
#include <asio/post.hpp>
#include <cstdio>
#include <memory>
#include <string_view>

#include "base/preference_store.hpp"
#include "base/version.hpp"
#include "engine/socks_lifecycle_self_test.hpp"
#include "model/app_preferences.hpp"
#include "proxy/system_proxy/system_proxy.hpp"
#include "shell/app_icon.hpp"
#include "shell/app_icon_provider.hpp"
#include "shell/app_id.hpp"
#include "shell/app_rules_model.hpp"
#include "shell/controller_model.hpp"
#include "shell/core_host.hpp"
#include "shell/desktop_color_scheme_watch.hpp"
#include "shell/global_hot_key.hpp"
#include "shell/gui_stall_probe.hpp"
#include "shell/launch.hpp"
#include "shell/launch_dispatch.hpp"
#include "shell/launch_request.hpp"
#include "shell/main_window_lifecycle.hpp"
#include "shell/main_window_loader.hpp"
#include "shell/main_window_model.hpp"
#include "shell/notification_feed.hpp"
#include "shell/quit_at_session_end.hpp"
#include "shell/quit_on_signal.hpp"
#include "shell/single_instance.hpp"
#include "shell/theme.hpp"
#include "shell/tray_host.hpp"

int main(int argc, char** argv) {
    using namespace nimbra;
    using namespace nimbra::shell;

    if (wantsVersion(argc, argv)) {
        std::printf("nimbra %s\n", kVersion);
        return 0;
    }
    // The self-test needs no window and no tray: it checks the engine on this machine and exits.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--verify-socks-lifecycle") {
            return runSocksLifecycleSelfTest(PreferenceStore::standard());
        }
    }
    if (!displayAvailable(argc, argv)) {
        std::fprintf(
            stderr,
            "nimbra: no display found; set DISPLAY or WAYLAND_DISPLAY (or QT_QPA_PLATFORM), "
            "or use nimbra-cli on a terminal\n");
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nimbra"));
    QApplication::setApplicationVersion(QString::fromUtf8(kVersion));
    QApplication::setDesktopFileName(
        QString::fromUtf8(kAppId.data(), static_cast<qsizetype>(kAppId.size())));
    const QIcon icon = appIcon();
    QApplication::setWindowIcon(icon);
    quitOnTerminationSignals();
    quitAtSessionEnd(app);
    const std::unique_ptr<GuiStallProbe> stallProbe = GuiStallProbe::startIfAsked();  // bench only
    // A later launch hands its request to the running Nimbra and never builds a controller.
    const LaunchRequest request = launchRequest(argc, argv);
    const std::unique_ptr<SingleInstance> instance = SingleInstance::claim();
    if (!instance) return forwardToFirstInstance(request) ? 0 : 1;

    PreferenceStore& store = PreferenceStore::standard();
    CoreHost core(store);  // builds the controller here, before the core thread exists
    {
        // Proxy settings a crashed or killed run left behind go back, off the GUI thread.
        AppPreferences preferences(store);
        const LocalEndpoints ours{"127.0.0.1", preferences.httpProxyPort(),
                                  preferences.socksPort()};
        asio::post(core.runtime().blockingPool(), [ours] { SystemProxy::recoverAtStartup(ours); });
    }

    int exitCode = 0;
    {
        ControllerModel model(core.runtime(), core.controller(), store);
        DesktopColorSchemeWatch desktopScheme;
        desktopScheme.start();
        Theme theme(store, desktopScheme, QFontDatabase::families());
        // Outlives the engine, so no binding of a window being torn down finds it gone.
        MainWindowModel windowModel(model, core.runtime(), core.controller(), store);
        AppRulesModel appRules(model, core.runtime(), store);
        // The flat window draws in software unless the user picks a graphics API: it looks the
        // same (text antialiasing aside), and a GL driver weighs more than the window itself
        // (shown under llvmpipe: 180 MiB resident with GL, 73 MiB in software; bench/idle_cost).
        if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND") &&
            !qEnvironmentVariableIsSet("QSG_RHI_BACKEND")) {
            QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        }
        QQmlApplicationEngine engine;
        installAppIconProvider(engine);  // image://appicon/ for the per-app rules panel
        engine.rootContext()->setContextProperty(QStringLiteral("theme"), &theme);
        engine.rootContext()->setContextProperty(QStringLiteral("view"), &windowModel);
        engine.rootContext()->setContextProperty(QStringLiteral("appRules"), &appRules);
        // Qt.quit() from the window (Ctrl+Q, the Quit button) ends the event loop; the engine
        // wires this itself only for what it loads, and the window comes from our own loader.
        QObject::connect(&engine, &QQmlEngine::quit, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        MainWindowLoader windowLoader(engine);
        QObject::connect(&windowLoader, &MainWindowLoader::failed, [](const QString& errors) {
            std::fprintf(stderr, "nimbra: the main window could not be loaded:\n%s\n",
                         qPrintable(errors));
            QApplication::exit(1);
        });
        // Built when first shown: a start with --hidden maps no GL driver (main_window_lifecycle).
        MainWindowLifecycle lifecycle([&](const MainWindowLifecycle::WindowReady& ready) {
            QObject::connect(&windowLoader, &MainWindowLoader::built,
                             [&, ready](QQuickWindow* window) {
                                 window->setIcon(icon);
                                 // The figures are measured only while the window is on screen
                                 // (hidden: not).
                                 QObject::connect(window, &QWindow::visibleChanged, &model,
                                                  &ControllerModel::setTrafficShown);
                                 ready(window);
                             });
            windowLoader.start();
        });
        QObject::connect(instance.get(), &SingleInstance::requested, &lifecycle,
                         [&](LaunchRequest asked) { carryOut(asked, lifecycle, model); });
        // Closing the window hides it, tray or not; only Quit ends the program.
        QApplication::setQuitOnLastWindowClosed(false);
        TrayHost tray(model, store, lifecycle);
        engine.rootContext()->setContextProperty(QStringLiteral("trayHost"), &tray);
        NotificationFeed notices(model, tray, store, core.runtime());
        notices.watchWindowOf(lifecycle);
        GlobalHotKey hotKey;
        QObject::connect(&hotKey, &GlobalHotKey::pressed, &lifecycle,
                         &MainWindowLifecycle::toggleMainWindow);
        hotKey.install();

        core.start();
        if (request != LaunchRequest::show || !startsHidden(argc, argv)) {
            carryOut(request, lifecycle, model);
        }
        exitCode = QApplication::exec();
    }
    // The window, the tray and the model are gone; now stop the core thread, then the controller.
    core.shutdown();
    return exitCode;
}
