#pragma once

#include <QString>

namespace nimbra::shell {

// Sends desktop notifications through org.freedesktop.Notifications on the session bus as
// Nimbra (app name "Nimbra", icon "nimbra", the desktop entry of our app id). The call is sent
// without waiting for its answer: a notification server that hangs or is missing must never hold
// up the GUI thread, and a lost notification costs nothing the window does not show anyway.
class DesktopNotifications {
public:
    void send(const QString& title, const QString& body) const;
};

}  // namespace nimbra::shell
