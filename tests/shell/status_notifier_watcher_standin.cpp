#include "status_notifier_watcher_standin.hpp"

#include <QMetaObject>

namespace nimbra::testing {

StatusNotifierWatcherStandIn::StatusNotifierWatcherStandIn()
    : connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                QStringLiteral("status-notifier-watcher"))) {
    thread_.start();
    moveToThread(&thread_);
    connection_.registerObject(
        QStringLiteral("/StatusNotifierWatcher"), this,
        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    connection_.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

StatusNotifierWatcherStandIn::~StatusNotifierWatcherStandIn() {
    connection_.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    connection_.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
    thread_.quit();
    thread_.wait();
    QDBusConnection::disconnectFromBus(QStringLiteral("status-notifier-watcher"));
}

QStringList StatusNotifierWatcherStandIn::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

void StatusNotifierWatcherStandIn::RegisterStatusNotifierItem(const QString& service,
                                                              const QDBusMessage& message) {
    // An item may register by object path alone; its bus name is then the caller's.
    std::lock_guard lock(mutex_);
    items_.append(service.startsWith(QLatin1Char('/')) ? message.service() : service);
}

}  // namespace nimbra::testing
