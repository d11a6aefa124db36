#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/preference_store.hpp"
#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

namespace nimbra {
class CoreRuntime;
class WarpController;
}  // namespace nimbra

namespace nimbra::shell {

// The controller as the shell's views see it (the window's MainWindowModel, the tray, the
// notifications): the latest snapshot plus the interface language. Lives on the GUI thread. It
// never reads the controller directly: snapshots arrive queued from the core thread and every
// action is posted there, so nothing here ever waits for the core.
class ControllerModel : public QObject {
    Q_OBJECT

public:
    // Subscribes to the controller's snapshots (posted to the core thread, so this is safe before
    // and after the core thread has started) and to the "ui_language" preference.
    ControllerModel(CoreRuntime& runtime, WarpController& controller, PreferenceStore& store,
                    QObject* parent = nullptr);
    ~ControllerModel() override;

    // The phase as the tray's tooltip names it, in the current language.
    QString phaseLabel() const;
    AppLanguage appLanguage() const { return language_; }
    const SnapshotPtr& snapshot() const { return snapshot_; }

    // The single button: connect, cancel or disconnect depending on the phase; ignored while
    // disconnecting. Returns at once.
    void toggle();
    // Has the controller look for conflicting VPNs again. Returns at once.
    void refreshConflicts();
    // Tells the controller that the per-app rules were saved. Callable from any thread (a save
    // ends on the blocking pool): the core and the controller outlive every pool job.
    std::function<void()> appRulesSavedNotice();
    // Stores the interface language ("en", "zh") or theme ("system", "light", "dark") off the GUI
    // thread; every view follows the store.
    void setLanguage(const QString& raw);
    void setTheme(const QString& raw);
    // Whether the window shows the traffic figures (its visibility): the controller measures
    // them each second only while some view does. Repeats are ignored; the model's end is a
    // false.
    void setTrafficShown(bool shown);
    // The tray's open menu shows the speeds too, so while it is open it counts as one more view.
    void setTrayMenuOpen(bool open);
    // Whether some view asked for the traffic figures (the window or the tray's menu).
    bool trafficWatched() const { return trafficShown_ || trayMenuOpen_; }

    // Shows `snapshot`; this is where every delivery from the controller ends up.
    void applySnapshot(SnapshotPtr snapshot);

Q_SIGNALS:
    void changed();

private:
    struct Subscription;

    void reloadLanguage();
    // One view's interest in the figures; the controller counts the views.
    void watchTraffic(bool& viewer, bool shown);

    CoreRuntime& runtime_;
    WarpController& controller_;
    PreferenceStore& store_;
    SnapshotPtr snapshot_;
    AppLanguage language_ = AppLanguage::english;
    bool trafficShown_ = false;
    bool trayMenuOpen_ = false;
    std::shared_ptr<Subscription> subscription_;
    std::unique_ptr<PreferenceStore::Subscription> languageSubscription_;
};

}  // namespace nimbra::shell
