#pragma once

#include <QDBusServiceWatcher>
#include <QObject>
#include <memory>

#include "base/preference_store.hpp"

namespace nimbra::shell {

class ControllerModel;
class MainWindowLifecycle;
class Tray;

// Puts the tray up as soon as the desktop has one: a StatusNotifierWatcher on the session bus,
// there at start-up or appearing later (a panel that starts after us). Heard from the bus, so
// nothing polls while no tray is there. Without a session bus, an old-style X11 tray is used
// if there is one.
class TrayHost : public QObject {
    Q_OBJECT
    // For the window: without a tray it offers Quit itself.
    Q_PROPERTY(bool hasTray READ hasTray NOTIFY trayChanged)

public:
    TrayHost(ControllerModel& model, PreferenceStore& store, MainWindowLifecycle& window,
             QObject* parent = nullptr);
    ~TrayHost() override;

    bool hasTray() const { return tray_ != nullptr; }

Q_SIGNALS:
    void trayChanged();

private:
    void createTray();

    ControllerModel& model_;
    PreferenceStore& store_;
    MainWindowLifecycle& window_;
    QDBusServiceWatcher watcher_;
    std::unique_ptr<Tray> tray_;
};

}  // namespace nimbra::shell
