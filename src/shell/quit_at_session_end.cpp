#include "shell/quit_at_session_end.hpp"

#include <QGuiApplication>
#include <QMetaObject>
#include <QSessionManager>

namespace nimbra::shell {

void quitAtSessionEnd(QGuiApplication& app) {
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app, [](QSessionManager& manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
        // Not from inside the request: the manager waits for its answer first.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
}

}  // namespace nimbra::shell
