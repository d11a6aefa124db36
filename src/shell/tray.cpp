#include "shell/tray.hpp"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QPointer>

#include "model/app_preferences.hpp"
#include "model/preference_keys.hpp"
#include "presentation/tray_icon_state.hpp"
#include "presentation/tray_menu.hpp"
#include "shell/controller_model.hpp"
#include "shell/main_window_lifecycle.hpp"

namespace nimbra::shell {
namespace {

using presentation::MenuItem;
using presentation::MenuItemKind;
namespace tray_id = presentation::tray_id;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// A menu reads "&" as the mark of a keyboard accelerator; our texts mean the character.
QString label(const std::string& text) {
    return qs(text).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QIcon stateIcon(presentation::TrayIconState state) {
    switch (state) {
        case presentation::TrayIconState::connected:
            return QIcon(QStringLiteral(":/Nimbra/icons/tray-connected.svg"));
        case presentation::TrayIconState::busy:
            return QIcon(QStringLiteral(":/Nimbra/icons/tray-busy.svg"));
        case presentation::TrayIconState::error:
            return QIcon(QStringLiteral(":/Nimbra/icons/tray-error.svg"));
        case presentation::TrayIconState::disconnected:
            break;
    }
    return QIcon(QStringLiteral(":/Nimbra/icons/tray-disconnected.svg"));
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return std::string_view(text).substr(0, prefix.size()) == prefix;
}

}  // namespace

Tray::Tray(ControllerModel& model, PreferenceStore& store, MainWindowLifecycle& window,
           QObject* parent)
    : QObject(parent), model_(model), store_(store), window_(window) {
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) window_.toggleMainWindow();
            });
    connect(&model_, &ControllerModel::changed, this, &Tray::refresh);
    const QPointer<Tray> guard(this);
    themeSubscription_ = store_.subscribe(prefkey::uiTheme, [guard](std::string_view) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard] {
                if (guard) guard->refresh();
            },
            Qt::QueuedConnection);
    });

    // Its speed line is current only while the controller measures, which it does for views.
    connect(&menu_, &QMenu::aboutToShow, this, [this] { model_.setTrayMenuOpen(true); });
    connect(&menu_, &QMenu::aboutToHide, this, [this] { model_.setTrayMenuOpen(false); });
    icon_.setContextMenu(&menu_);
    refresh();
    icon_.show();
}

Tray::~Tray() {
    themeSubscription_.reset();
    icon_.hide();
}

void Tray::refresh() {
    const AppLanguage language = model_.appLanguage();
    const ControllerSnapshot& state = *model_.snapshot();
    fill(menu_, presentation::trayMenu(state, language, AppPreferences(store_).theme()));
    icon_.setIcon(stateIcon(presentation::trayIconState(state.phase)));
    icon_.setToolTip(QStringLiteral("Nimbra · ") + model_.phaseLabel());
}

// Brings `menu` to `items`: same actions (by id) in the same order, updated in place. Only a
// change of the entries themselves re-lays the menu out; the list's ids never change, so after
// the first fill that does not happen.
void Tray::fill(QMenu& menu, const std::vector<MenuItem>& items) {
    QList<QAction*> wanted;
    for (const MenuItem& item : items) wanted.append(actionFor(item));
    if (menu.actions() != wanted) {
        for (QAction* action : menu.actions()) menu.removeAction(action);
        menu.addActions(wanted);
    }
}

QAction* Tray::actionFor(const MenuItem& item) {
    QAction*& action = actions_[item.id];
    if (action == nullptr) {
        action = new QAction(this);
        action->setSeparator(item.kind == MenuItemKind::separator);
        if (item.kind == MenuItemKind::submenu) {
            auto& submenu = submenus_[item.id];
            submenu = std::make_unique<QMenu>();
            action->setMenu(submenu.get());
        }
        if (item.kind == MenuItemKind::action) {
            connect(action, &QAction::triggered, this, [this, id = item.id] { trigger(id); });
        }
    }
    action->setText(label(item.text));
    action->setEnabled(item.enabled);
    action->setVisible(item.visible);
    action->setCheckable(item.checkable);
    action->setChecked(item.checked);
    if (!item.icon.empty()) action->setIcon(QIcon::fromTheme(qs(item.icon)));
    if (item.kind == MenuItemKind::submenu) {
        QMenu& submenu = *submenus_[item.id];
        submenu.setTitle(label(item.text));
        fill(submenu, item.children);
    }
    return action;
}

void Tray::trigger(const std::string& id) {
    if (id == tray_id::toggle) {
        model_.toggle();
    } else if (id == tray_id::showWindow) {
        window_.showExistingMainWindow();
    } else if (id == tray_id::appRules) {
        window_.showAppRules();
    } else if (id == tray_id::recheckConflicts) {
        model_.refreshConflicts();
    } else if (id == tray_id::quit) {
        QCoreApplication::quit();
    } else if (startsWith(id, tray_id::languagePrefix)) {
        model_.setLanguage(qs(id.substr(tray_id::languagePrefix.size())));
    } else if (startsWith(id, tray_id::themePrefix)) {
        model_.setTheme(qs(id.substr(tray_id::themePrefix.size())));
    }
    // A checkable entry toggles itself when chosen; the next refresh puts the check where the
    // preference says.
    refresh();
}

}  // namespace nimbra::shell
