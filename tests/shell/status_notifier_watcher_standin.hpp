#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <mutex>

namespace nimbra::testing {

// A tray host as a desktop panel offers it: org.kde.StatusNotifierWatcher on the session bus,
// recording the items that register. Served from a thread of its own on a connection of its
// own, so the application's blocking questions to it ("is a host registered?") are answered
// while the GUI thread waits for them.
class StatusNotifierWatcherStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    // Claims the name on the session bus now.
    StatusNotifierWatcherStandIn();
    ~StatusNotifierWatcherStandIn() override;

    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    // The bus names of the registered items.
    QStringList items() const;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message);
    void RegisterStatusNotifierHost(const QString&) {}

private:
    QThread thread_;
    QDBusConnection connection_;
    mutable std::mutex mutex_;
    QStringList items_;
};

}  // namespace nimbra::testing
