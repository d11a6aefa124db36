#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>

#include "base/preference_store.hpp"
#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

namespace nimbra {
class CoreRuntime;
class WarpController;
}  // namespace nimbra

namespace nimbra::shell {

// The controller as the window sees it: the latest snapshot plus the interface language, turned
// into display properties. Lives on the GUI thread. It never reads the controller directly:
// snapshots arrive queued from the core thread and every action is posted there, so nothing here
// ever waits for the core.
class ControllerModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString phase READ phase NOTIFY changed)
    Q_PROPERTY(QString phaseLabel READ phaseLabel NOTIFY changed)
    Q_PROPERTY(QString detail READ detail NOTIFY changed)
    Q_PROPERTY(QString socksEndpoint READ socksEndpoint NOTIFY changed)
    Q_PROPERTY(QString httpEndpoint READ httpEndpoint NOTIFY changed)
    Q_PROPERTY(QString exitIp READ exitIp NOTIFY changed)
    Q_PROPERTY(QString exitLoc READ exitLoc NOTIFY changed)
    Q_PROPERTY(QString exitColo READ exitColo NOTIFY changed)
    Q_PROPERTY(QString exitWarp READ exitWarp NOTIFY changed)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY changed)
    Q_PROPERTY(QString connectionMode READ connectionMode NOTIFY changed)
    Q_PROPERTY(QString connectionModeLabel READ connectionModeLabel NOTIFY changed)
    Q_PROPERTY(bool http2 READ http2 NOTIFY changed)
    Q_PROPERTY(QString http2Tip READ http2Tip NOTIFY changed)
    Q_PROPERTY(QString conflictBanner READ conflictBanner NOTIFY changed)
    Q_PROPERTY(QString usquePath READ usquePath NOTIFY changed)
    Q_PROPERTY(QString globalCoverageNote READ globalCoverageNote NOTIFY changed)
    Q_PROPERTY(QString buttonLabel READ buttonLabel NOTIFY changed)
    Q_PROPERTY(bool buttonEnabled READ buttonEnabled NOTIFY changed)
    Q_PROPERTY(QString language READ language NOTIFY changed)
    // The traffic figures, as shown: "1.5 KB/s", "3.4 MB", "01:02:03". Current only while
    // setTrafficShown(true).
    Q_PROPERTY(QString downSpeed READ downSpeed NOTIFY changed)
    Q_PROPERTY(QString upSpeed READ upSpeed NOTIFY changed)
    Q_PROPERTY(QString totalDown READ totalDown NOTIFY changed)
    Q_PROPERTY(QString totalUp READ totalUp NOTIFY changed)
    Q_PROPERTY(QString connectedTime READ connectedTime NOTIFY changed)

public:
    // Subscribes to the controller's snapshots (posted to the core thread, so this is safe before
    // and after the core thread has started) and to the "ui_language" preference.
    ControllerModel(CoreRuntime& runtime, WarpController& controller, PreferenceStore& store,
                    QObject* parent = nullptr);
    ~ControllerModel() override;

    QString phase() const;
    QString phaseLabel() const;
    QString detail() const;
    QString socksEndpoint() const;
    QString httpEndpoint() const;
    QString exitIp() const;
    QString exitLoc() const;
    QString exitColo() const;
    QString exitWarp() const;
    bool isConnected() const;
    QString connectionMode() const;
    QString connectionModeLabel() const;
    bool http2() const;
    QString http2Tip() const;
    QString conflictBanner() const;
    QString usquePath() const;
    QString globalCoverageNote() const;
    QString buttonLabel() const;
    bool buttonEnabled() const;
    QString language() const;  // "en" or "zh"
    QString downSpeed() const;
    QString upSpeed() const;
    QString totalDown() const;
    QString totalUp() const;
    QString connectedTime() const;

    AppLanguage appLanguage() const { return language_; }
    const SnapshotPtr& snapshot() const { return snapshot_; }

    // The single button: connect, cancel or disconnect depending on the phase. Returns at once.
    Q_INVOKABLE void toggle();
    // Has the controller look for conflicting VPNs again. Returns at once.
    Q_INVOKABLE void refreshConflicts();
    // Stores the interface language ("en", "zh") or theme ("system", "light", "dark") off the GUI
    // thread; every view follows the store.
    Q_INVOKABLE void setLanguage(const QString& raw);
    Q_INVOKABLE void setTheme(const QString& raw);
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
