#include "shell/tray_host.hpp"

#include <QApplication>
#include <QDBusConnection>
#include <QSystemTrayIcon>

#include "shell/tray.hpp"

namespace nimbra::shell {

TrayHost::TrayHost(ControllerModel& model, PreferenceStore& store, QWindow& window, QObject* parent)
    : QObject(parent),
      model_(model),
      store_(store),
      window_(window),
      watcher_(QStringLiteral("org.kde.StatusNotifierWatcher"), QDBusConnection::sessionBus(),
               QDBusServiceWatcher::WatchForRegistration) {
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, &TrayHost::createTray);
    if (QSystemTrayIcon::isSystemTrayAvailable()) createTray();
}

TrayHost::~TrayHost() = default;

void TrayHost::createTray() {
    // A watcher that comes back (the panel restarted) finds our icon again by itself: Qt
    // re-registers it, so one tray is enough.
    if (tray_) return;
    tray_ = std::make_unique<Tray>(model_, store_, window_);
    // Closing the window hides it; the tray's Quit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
}

}  // namespace nimbra::shell
