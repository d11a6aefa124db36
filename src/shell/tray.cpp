#include "shell/tray.hpp"

#include <QAction>
#include <QCoreApplication>
#include <QWindow>

#include "l10n/l10n.hpp"
#include "shell/controller_model.hpp"

namespace nimbra::shell {

Tray::Tray(ControllerModel& model, QWindow& window, const QIcon& icon, QObject* parent)
    : QObject(parent), model_(model), window_(&window), icon_(icon) {
    showAction_ = menu_.addAction(QString());
    toggleAction_ = menu_.addAction(QString());
    menu_.addSeparator();
    quitAction_ = menu_.addAction(QString());

    connect(showAction_, &QAction::triggered, this, &Tray::showWindow);
    connect(toggleAction_, &QAction::triggered, &model_, &ControllerModel::toggle);
    connect(quitAction_, &QAction::triggered, QCoreApplication::instance(),
            &QCoreApplication::quit);
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) showWindow();
            });
    connect(&model_, &ControllerModel::changed, this, &Tray::refresh);

    icon_.setContextMenu(&menu_);
    refresh();
    icon_.show();
}

Tray::~Tray() {
    icon_.hide();
}

void Tray::refresh() {
    const AppLanguage language = model_.appLanguage();
    showAction_->setText(QString::fromStdString(L10n::trayShowWindow(language)));
    quitAction_->setText(QString::fromStdString(L10n::trayQuit(language)));
    const ControllerSnapshot& state = *model_.snapshot();
    toggleAction_->setText(
        QString::fromStdString(L10n::trayToggleTitle(state.phase, state.connecting, language)));
    toggleAction_->setEnabled(model_.buttonEnabled());
    icon_.setToolTip(QStringLiteral("Nimbra — ") + model_.phaseLabel());
}

void Tray::showWindow() {
    if (!window_) return;
    window_->show();
    window_->raise();
    window_->requestActivate();
}

}  // namespace nimbra::shell
