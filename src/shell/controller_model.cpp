#include "shell/controller_model.hpp"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <asio/post.hpp>
#include <optional>
#include <string_view>
#include <utility>

#include "base/async/core_runtime.hpp"
#include "controller/warp_controller.hpp"
#include "model/app_preferences.hpp"
#include "model/preference_keys.hpp"
#include "model/warp_phase.hpp"

namespace nimbra::shell {
namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Runs `work` on the GUI thread, unless `guard` is gone by then. Callable from any thread: the
// event is queued on the application object, which outlives every model, and the guard is only
// looked at on the GUI thread.
void postToGui(const QPointer<ControllerModel>& guard, std::function<void(ControllerModel&)> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [guard, work = std::move(work)] {
            if (ControllerModel* model = guard.data()) work(*model);
        },
        Qt::QueuedConnection);
}

}  // namespace

// The controller's subscription id. Written and read on the core thread only.
struct ControllerModel::Subscription {
    std::optional<uint64_t> id;
};

ControllerModel::ControllerModel(CoreRuntime& runtime, WarpController& controller,
                                 PreferenceStore& store, QObject* parent)
    : QObject(parent),
      runtime_(runtime),
      controller_(controller),
      store_(store),
      snapshot_(std::make_shared<const ControllerSnapshot>()),
      subscription_(std::make_shared<Subscription>()) {
    language_ = AppPreferences(store_).uiLanguage();

    const QPointer<ControllerModel> guard(this);
    languageSubscription_ = store_.subscribe(prefkey::uiLanguage, [guard](std::string_view) {
        postToGui(guard, [](ControllerModel& model) { model.reloadLanguage(); });
    });

    runtime_.post([&controller = controller_, subscription = subscription_, guard] {
        auto poster = [guard](std::function<void()> deliver) {
            postToGui(guard, [deliver = std::move(deliver)](ControllerModel&) { deliver(); });
        };
        // The handler runs inside the poster's GUI-thread call, after the guard was checked.
        auto handler = [guard](SnapshotPtr snapshot) {
            if (ControllerModel* model = guard.data()) model->applySnapshot(std::move(snapshot));
        };
        subscription->id = controller.subscribe(std::move(poster), std::move(handler));
    });
}

ControllerModel::~ControllerModel() {
    languageSubscription_.reset();
    setTrafficShown(false);
    setTrayMenuOpen(false);
    runtime_.post([&controller = controller_, subscription = subscription_] {
        if (subscription->id) controller.unsubscribe(*subscription->id);
    });
}

void ControllerModel::toggle() {
    if (snapshot_->phase == WarpPhase::stopping) return;
    runtime_.post([&controller = controller_] { controller.toggle(); });
}

void ControllerModel::refreshConflicts() {
    runtime_.post([&controller = controller_] { controller.refreshConflicts(); });
}

std::function<void()> ControllerModel::appRulesSavedNotice() {
    return [&runtime = runtime_, &controller = controller_] {
        runtime.post([&controller] { controller.appRulesChanged(); });
    };
}

void ControllerModel::setLanguage(const QString& raw) {
    asio::post(runtime_.blockingPool(), [&store = store_, value = raw.toStdString()] {
        store.setText(prefkey::uiLanguage, value);
    });
}

void ControllerModel::setTheme(const QString& raw) {
    asio::post(runtime_.blockingPool(), [&store = store_, value = raw.toStdString()] {
        store.setText(prefkey::uiTheme, value);
    });
}

void ControllerModel::setTrafficShown(bool shown) {
    watchTraffic(trafficShown_, shown);
}

void ControllerModel::setTrayMenuOpen(bool open) {
    watchTraffic(trayMenuOpen_, open);
}

void ControllerModel::watchTraffic(bool& viewer, bool shown) {
    if (shown == viewer) return;
    viewer = shown;
    runtime_.post([&controller = controller_, shown] { controller.watchTraffic(shown); });
}

void ControllerModel::applySnapshot(SnapshotPtr snapshot) {
    if (!snapshot) return;
    snapshot_ = std::move(snapshot);
    Q_EMIT changed();
}

void ControllerModel::reloadLanguage() {
    const AppLanguage language = AppPreferences(store_).uiLanguage();
    if (language == language_) return;
    language_ = language;
    Q_EMIT changed();
    // The conflict banner and the HTTP/2 tip are worded by the controller; have it reword them.
    runtime_.post([&controller = controller_] { controller.relocalizeVisibleCopy(); });
}

QString ControllerModel::phaseLabel() const {
    return qs(statusLabel(snapshot_->phase, language_));
}

}  // namespace nimbra::shell
