#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class QAction;
class QWindow;

namespace nimbra::shell {

class ControllerModel;

// The tray icon and its menu: show the window, the connect/disconnect button, quit. Only made
// when the desktop has a system tray; the window never depends on it.
class Tray : public QObject {
    Q_OBJECT

public:
    Tray(ControllerModel& model, QWindow& window, const QIcon& icon, QObject* parent = nullptr);
    ~Tray() override;

private:
    void refresh();
    void showWindow();

    ControllerModel& model_;
    QPointer<QWindow> window_;
    QMenu menu_;
    QSystemTrayIcon icon_;
    QAction* showAction_ = nullptr;
    QAction* toggleAction_ = nullptr;
    QAction* quitAction_ = nullptr;
};

}  // namespace nimbra::shell
