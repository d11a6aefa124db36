#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>

#include "model/desktop_color_scheme.hpp"

class QDBusPendingCallWatcher;
class QDBusMessage;

namespace nimbra::shell {

// Whether the desktop prefers light or dark, kept current. The XDG settings portal answers first
// and then reports every change by signal; without a portal, GNOME's setting (gsettings), else
// KDE's colour scheme (kreadconfig), else the lightness of the widget palette, each read once.
// Nothing here waits: the portal call and the tools finish asynchronously on the GUI thread's
// event loop, and nothing polls.
class DesktopColorSchemeWatch : public QObject {
    Q_OBJECT

public:
    explicit DesktopColorSchemeWatch(QDBusConnection bus = QDBusConnection::sessionBus(),
                                     QObject* parent = nullptr);

    // Subscribes to the portal's signal and asks for the current value. Call once.
    void start();
    DesktopScheme scheme() const { return scheme_; }

Q_SIGNALS:
    void schemeChanged();

private Q_SLOTS:
    // The portal's SettingChanged(namespace, key, value), taken whole: a typed slot would need
    // QDBusVariant registered by name before the connection is made.
    void onSettingChanged(const QDBusMessage& message);

private:
    void onPortalRead(QDBusPendingCallWatcher* call);
    void askGnome();
    void askKde();
    void usePalette();
    // Runs `program` with `arguments` and hands its trimmed output on, or nothing when it could not
    // run or failed.
    void runTool(const QString& program, const QStringList& arguments,
                 std::function<void(std::optional<QString>)> done);
    void set(DesktopScheme scheme);

    QDBusConnection bus_;
    DesktopScheme scheme_ = DesktopScheme::unknown;
    // Once the portal has spoken, the late answer of a fallback must not override it.
    bool portalAnswered_ = false;
};

}  // namespace nimbra::shell
