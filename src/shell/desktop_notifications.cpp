#include "shell/desktop_notifications.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>
#include <QVariantMap>

#include "shell/app_id.hpp"

namespace nimbra::shell {
namespace {

// Let the server pick how long the notification stays.
constexpr int kServerDefaultTimeout = -1;

}  // namespace

void DesktopNotifications::send(const QString& title, const QString& body) const {
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"),
         QString::fromUtf8(kAppId.data(), static_cast<qsizetype>(kAppId.size()))}};
    notify << QStringLiteral("Nimbra") << 0u << QStringLiteral("nimbra") << title << body
           << QStringList() << hints << kServerDefaultTimeout;
    // No reply is wanted: nothing waits, and a missing server is not an error worth a log line.
    notify.setAutoStartService(true);
    QDBusConnection::sessionBus().send(notify);
}

}  // namespace nimbra::shell
