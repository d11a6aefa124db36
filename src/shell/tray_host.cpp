#include "shell/tray_host.hpp"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>

#include "shell/tray.hpp"

namespace nimbra::shell {
namespace {

const QString kWatcherName = QStringLiteral("org.kde.StatusNotifierWatcher");

}  // namespace

TrayHost::TrayHost(ControllerModel& model, PreferenceStore& store, MainWindowLifecycle& window,
                   QObject* parent)
    : QObject(parent),
      model_(model),
      store_(store),
      window_(window),
      watcher_(kWatcherName, QDBusConnection::sessionBus(),
               QDBusServiceWatcher::WatchForRegistration) {
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, &TrayHost::createTray);
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    if (bus == nullptr) {
        // No session bus: only an old-style (XEmbed) tray can be there.
        if (QSystemTrayIcon::isSystemTrayAvailable()) createTray();
        return;
    }
    // Qt asks whether a tray exists once per process and keeps the answer, so it must not ask
    // before a watcher is there: a "no" would stick after the panel comes up. We ask the bus
    // instead, without waiting for its answer.
    auto* pending = new QDBusPendingCallWatcher(
        bus->asyncCall(QStringLiteral("NameHasOwner"), kWatcherName), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<bool> owned = *call;
                if (owned.isValid() && owned.value()) createTray();
            });
}

TrayHost::~TrayHost() = default;

void TrayHost::createTray() {
    // A watcher that comes back (the panel restarted) finds our icon again by itself: Qt
    // re-registers it, so one tray is enough.
    if (tray_) return;
    tray_ = std::make_unique<Tray>(model_, store_, window_);
    // Closing the window hides it; the tray's Quit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    Q_EMIT trayChanged();
}

}  // namespace nimbra::shell
