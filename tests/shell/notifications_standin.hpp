#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>
#include <mutex>
#include <string>
#include <vector>

namespace nimbra::testing {

// A notification server as the desktop offers it: org.freedesktop.Notifications on the session
// bus, recording each Notify as "<app name>|<icon>|<desktop-entry hint>|<title>|<body>". Served
// from a thread and a connection of its own, like the tray's stand-in watcher.
class NotificationsStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    NotificationsStandIn();
    ~NotificationsStandIn() override;

    std::vector<std::string> received() const;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& icon, const QString& title,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout);

private:
    QThread thread_;
    QDBusConnection connection_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
};

}  // namespace nimbra::testing
