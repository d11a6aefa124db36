#pragma once

#include <QDBusServiceWatcher>
#include <QObject>
#include <QWindow>
#include <memory>

#include "base/preference_store.hpp"

namespace nimbra::shell {

class ControllerModel;
class Tray;

// Puts the tray up as soon as the desktop has one: at once when a tray host runs at start-up,
// otherwise when a StatusNotifierWatcher appears on the session bus later (a panel that starts
// after us, or restarts). Heard from the bus, so nothing polls while no tray is there.
class TrayHost : public QObject {
    Q_OBJECT

public:
    TrayHost(ControllerModel& model, PreferenceStore& store, QWindow& window,
             QObject* parent = nullptr);
    ~TrayHost() override;

    bool hasTray() const { return tray_ != nullptr; }

private:
    void createTray();

    ControllerModel& model_;
    PreferenceStore& store_;
    QWindow& window_;
    QDBusServiceWatcher watcher_;
    std::unique_ptr<Tray> tray_;
};

}  // namespace nimbra::shell
