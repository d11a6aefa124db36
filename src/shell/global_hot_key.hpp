#pragma once

#include <QObject>
#include <QString>
#include <memory>

namespace nimbra::shell {

class X11HotKeyGrab;
class PortalGlobalShortcut;

// The system-wide shortcut Alt+M that shows or hides the main window from any application. On
// X11 Nimbra grabs the key itself; elsewhere (Wayland, offscreen...) it asks the desktop portal.
// When neither can have it, one line on standard error says why and everything else goes on:
// the tray and `nimbra --toggle` still reach the window.
class GlobalHotKey : public QObject {
    Q_OBJECT

public:
    explicit GlobalHotKey(QObject* parent = nullptr);
    // uninstall().
    ~GlobalHotKey() override;

    // Tries once: a second call does nothing, and a failed attempt is not retried. Uninstalls by
    // itself when the application is about to quit.
    void install();
    // Ungrabs the key or closes the portal session.
    void uninstall();
    bool installed() const { return installed_; }

Q_SIGNALS:
    // Queued on the GUI thread, never from inside the X event filter.
    void pressed();

private:
    void report(const QString& reason);

    bool installed_ = false;
    std::unique_ptr<X11HotKeyGrab> x11_;
    std::unique_ptr<PortalGlobalShortcut> portal_;
};

}  // namespace nimbra::shell
