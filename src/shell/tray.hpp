#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/preference_store.hpp"
#include "presentation/menu_item.hpp"

class QAction;

namespace nimbra::shell {

class ControllerModel;
class MainWindowLifecycle;

// The tray icon and its menu, drawn from the presentation layer's item list at every change of
// the snapshot, the language or the theme. Actions are kept by id and updated in place, so a menu
// the user holds open does not flicker or lose its highlight. Only made once the desktop has a
// tray (TrayHost); the window never depends on it.
class Tray : public QObject {
    Q_OBJECT

public:
    Tray(ControllerModel& model, PreferenceStore& store, MainWindowLifecycle& window,
         QObject* parent = nullptr);
    ~Tray() override;

    QSystemTrayIcon& icon() { return icon_; }

private:
    void refresh();
    void fill(QMenu& menu, const std::vector<presentation::MenuItem>& items);
    QAction* actionFor(const presentation::MenuItem& item);
    void trigger(const std::string& id);

    ControllerModel& model_;
    PreferenceStore& store_;
    MainWindowLifecycle& window_;
    QMenu menu_;
    QSystemTrayIcon icon_;
    std::map<std::string, QAction*> actions_;
    std::map<std::string, std::unique_ptr<QMenu>> submenus_;
    std::unique_ptr<PreferenceStore::Subscription> themeSubscription_;
};

}  // namespace nimbra::shell
