#include "shell/notification_feed.hpp"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QQuickWindow>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/preference_keys.hpp"
#include "shell/controller_model.hpp"
#include "shell/core_host.hpp"
#include "shell/main_window_lifecycle.hpp"
#include "shell/tray_host.hpp"
#include "status_notifier_watcher_standin.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::waitUntil;

// A notification server on the (private) session bus, recording each Notify as
// "<app name>|<icon>|<desktop-entry hint>|<title>|<body>". Served from the GUI thread: nothing
// the feed sends waits for an answer. On a connection of its own, as a real server is: sharing
// the feed's, Qt hands some calls over in-process and others through the bus, out of order.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    NotificationServer() {
        bus_.registerObject(kPath, this, QDBusConnection::ExportAllSlots);
        bus_.registerService(kName);
    }
    ~NotificationServer() override {
        bus_.unregisterService(kName);
        bus_.unregisterObject(kPath);
        QDBusConnection::disconnectFromBus(kConnection);
    }
    std::vector<std::string> received;

public Q_SLOTS:
    uint Notify(const QString& app, uint, const QString& icon, const QString& title,
                const QString& body, const QStringList&, const QVariantMap& hints, int) {
        const QStringList fields{app, icon, hints.value("desktop-entry").toString(), title, body};
        received.push_back(fields.join('|').toStdString());
        return static_cast<uint>(received.size());
    }

private:
    const QString kName = QStringLiteral("org.freedesktop.Notifications");
    const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
    const QString kConnection = QStringLiteral("notification-server");
    QDBusConnection bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnection);
};

// A connect that begins and then fails, as the controller publishes it.
void connectFails(ControllerModel& model) {
    auto connecting = std::make_shared<ControllerSnapshot>(*model.snapshot());
    connecting->connecting = true;
    connecting->lastConnectError.clear();
    model.applySnapshot(connecting);
    auto failed = std::make_shared<ControllerSnapshot>(*connecting);
    failed->connecting = false;
    failed->lastConnectError = "usque exited early";
    model.applySnapshot(failed);
}

// Each step's notifications are checked after a later one arrived: the server gets them in the
// order they were sent, so a notification that should not come would be there by then.
TEST(NotificationFeed, TheHintComesOnceEverWithoutATrayAndAFailureOnlyWhileHidden) {
    NotificationServer server;
    nimbra::testing::TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    CoreHost host{store};
    ControllerModel model{host.runtime(), host.controller(), store};
    QQuickWindow window;
    MainWindowLifecycle lifecycle{window};
    TrayHost tray(model, store, lifecycle);
    std::optional<NotificationFeed> feed(std::in_place, model, tray, store, host.runtime());
    feed->watch(window);

    for (int close = 0; close < 2; ++close) {
        lifecycle.showExistingMainWindow();
        connectFails(model);  // in view: the window says it
        window.close();
    }
    ASSERT_FALSE(window.isVisible());
    connectFails(model);  // from the tray, say, with the window hidden
    const std::string hint =
        "Nimbra|nimbra|io.github.nimbra.Nimbra|Nimbra|Nimbra keeps running. "
        "Launch Nimbra again or press Alt+M to show the window.";
    const std::string failed =
        "Nimbra|nimbra|io.github.nimbra.Nimbra|Nimbra could not connect|usque exited early";
    ASSERT_TRUE(waitUntil([&] { return server.received.size() == 2; }));
    EXPECT_EQ(server.received, (std::vector<std::string>{hint, failed}));
    ASSERT_TRUE(
        waitUntil([&] { return store.boolean(prefkey::keepsRunningHintShown).has_value(); }));

    // The next run remembers it (a fresh feed reads the store), and with a tray there is no hint.
    feed.emplace(model, tray, store, host.runtime());
    feed->watch(window);
    lifecycle.showExistingMainWindow();
    window.close();
    store.remove(prefkey::keepsRunningHintShown);
    nimbra::testing::StatusNotifierWatcherStandIn watcher;
    ASSERT_TRUE(waitUntil([&] { return tray.hasTray(); }));
    feed.emplace(model, tray, store, host.runtime());
    feed->watch(window);
    lifecycle.showExistingMainWindow();
    window.close();
    connectFails(model);
    ASSERT_TRUE(waitUntil([&] { return server.received.size() == 3; }));
    EXPECT_EQ(server.received, (std::vector<std::string>{hint, failed, failed}));
}

}  // namespace
}  // namespace nimbra::shell

#include "notification_feed_test.moc"
