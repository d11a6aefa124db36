#include "shell/notification_feed.hpp"

#include <QEvent>
#include <QQuickWindow>
#include <asio/post.hpp>

#include "base/async/core_runtime.hpp"
#include "l10n/l10n.hpp"
#include "model/preference_keys.hpp"
#include "presentation/desktop_notice.hpp"
#include "shell/controller_model.hpp"
#include "shell/main_window_lifecycle.hpp"
#include "shell/tray_host.hpp"

namespace nimbra::shell {

NotificationFeed::NotificationFeed(ControllerModel& model, const TrayHost& tray,
                                   PreferenceStore& store, CoreRuntime& runtime, QObject* parent)
    : QObject(parent),
      model_(model),
      tray_(tray),
      store_(store),
      runtime_(runtime),
      previous_(model.snapshot()),
      hintShown_(store.boolean(prefkey::keepsRunningHintShown).value_or(false)) {
    connect(&model_, &ControllerModel::changed, this, &NotificationFeed::snapshotChanged);
}

void NotificationFeed::watch(QWindow& window) {
    window_ = &window;
    // The window's lifecycle consumes its close, and the filter installed last sees an event
    // first: so ours goes (back) on top each time the window is shown, which is before any close.
    connect(&window, &QWindow::visibleChanged, this, [this](bool visible) {
        if (visible && window_) window_->installEventFilter(this);
    });
}

void NotificationFeed::watchWindowOf(MainWindowLifecycle& lifecycle) {
    connect(&lifecycle, &MainWindowLifecycle::windowBuilt, this,
            [this](QQuickWindow* window) { watch(*window); });
}

bool NotificationFeed::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::Close) windowClosed();
    return false;  // the lifecycle decides what a close does
}

void NotificationFeed::snapshotChanged() {
    const SnapshotPtr now = model_.snapshot();
    if (now == previous_) return;  // a language change
    const bool visible = window_ && window_->isVisible();
    if (!previous_->connecting && now->connecting) connectStartedHidden_ = !visible;
    const auto notice = presentation::noticeFor(*previous_, *now, visible, connectStartedHidden_,
                                                model_.appLanguage());
    previous_ = now;
    if (notice) {
        notifications_.send(QString::fromStdString(notice->title),
                            QString::fromStdString(notice->body));
    }
}

void NotificationFeed::windowClosed() {
    if (hintShown_ || tray_.hasTray()) return;
    hintShown_ = true;
    notifications_.send(QStringLiteral("Nimbra"),
                        QString::fromStdString(L10n::notifyKeepsRunning(model_.appLanguage())));
    // The store writes its file; that happens off the GUI thread.
    asio::post(runtime_.blockingPool(),
               [&store = store_] { store.setBoolean(prefkey::keepsRunningHintShown, true); });
}

}  // namespace nimbra::shell
