#include "notifications_standin.hpp"

namespace nimbra::testing {

NotificationsStandIn::NotificationsStandIn()
    : connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                QStringLiteral("notifications"))) {
    thread_.start();
    moveToThread(&thread_);
    connection_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                               QDBusConnection::ExportAllSlots);
    connection_.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

NotificationsStandIn::~NotificationsStandIn() {
    connection_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    connection_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    thread_.quit();
    thread_.wait();
    QDBusConnection::disconnectFromBus(QStringLiteral("notifications"));
}

std::vector<std::string> NotificationsStandIn::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

uint NotificationsStandIn::Notify(const QString& appName, uint, const QString& icon,
                                  const QString& title, const QString& body, const QStringList&,
                                  const QVariantMap& hints, int) {
    std::lock_guard lock(mutex_);
    const QStringList fields{appName, icon, hints.value("desktop-entry").toString(), title, body};
    received_.push_back(fields.join('|').toStdString());
    return static_cast<uint>(received_.size());
}

}  // namespace nimbra::testing
