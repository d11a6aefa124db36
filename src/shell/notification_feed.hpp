#pragma once

#include <QObject>
#include <QPointer>

#include "base/preference_store.hpp"
#include "controller/controller_snapshot.hpp"
#include "shell/desktop_notifications.hpp"

class QWindow;

namespace nimbra {
class CoreRuntime;
}

namespace nimbra::shell {

class ControllerModel;
class MainWindowLifecycle;
class TrayHost;

// Tells a user who cannot see the window what they would otherwise miss: each snapshot change
// goes through the presentation layer's notice rule (a failed connect they started while the
// window was hidden, the first failed heal), and the first close of the window with no tray to
// come back by gets a hint that Nimbra keeps running, once ever (a preference remembers it).
// Heard from the model's and the window's own events; nothing runs in between.
class NotificationFeed : public QObject {
    Q_OBJECT

public:
    NotificationFeed(ControllerModel& model, const TrayHost& tray, PreferenceStore& store,
                     CoreRuntime& runtime, QObject* parent = nullptr);

    // The main window, whose visibility decides whether anything is sent and whose close may
    // bring the hint. Until one is watched, no window is on screen.
    void watch(QWindow& window);
    // Watches the main window once it is built (which may be at its first show, or never).
    void watchWindowOf(MainWindowLifecycle& lifecycle);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void snapshotChanged();
    void windowClosed();

    ControllerModel& model_;
    QPointer<QWindow> window_;
    const TrayHost& tray_;
    PreferenceStore& store_;
    CoreRuntime& runtime_;
    DesktopNotifications notifications_;
    SnapshotPtr previous_;
    // Whether the connect now running (or last run) began while the window was hidden: then
    // the tray, the hot key or a --toggle-connection launch started it, not the window's button.
    bool connectStartedHidden_ = false;
    bool hintShown_ = false;
};

}  // namespace nimbra::shell
