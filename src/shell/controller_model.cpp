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
#include "l10n/l10n.hpp"
#include "model/app_preferences.hpp"
#include "model/connection_mode.hpp"
#include "model/preference_keys.hpp"
#include "model/warp_phase.hpp"
#include "observe/traffic_formatting.hpp"

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
    if (!buttonEnabled()) return;
    runtime_.post([&controller = controller_] { controller.toggle(); });
}

void ControllerModel::refreshConflicts() {
    runtime_.post([&controller = controller_] { controller.refreshConflicts(); });
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

QString ControllerModel::phase() const {
    return qs(rawValue(snapshot_->phase));
}
QString ControllerModel::phaseLabel() const {
    return qs(statusLabel(snapshot_->phase, language_));
}
QString ControllerModel::detail() const {
    return QString::fromStdString(snapshot_->detail);
}
QString ControllerModel::socksEndpoint() const {
    return QString::fromStdString(snapshot_->socksEndpoint);
}
QString ControllerModel::httpEndpoint() const {
    return QString::fromStdString(snapshot_->httpEndpoint);
}
QString ControllerModel::exitIp() const {
    return QString::fromStdString(snapshot_->exitIp);
}
QString ControllerModel::exitLoc() const {
    return QString::fromStdString(snapshot_->exitLoc);
}
QString ControllerModel::exitColo() const {
    return QString::fromStdString(snapshot_->exitColo);
}
QString ControllerModel::exitWarp() const {
    return QString::fromStdString(snapshot_->exitWarp);
}
bool ControllerModel::isConnected() const {
    return snapshot_->isConnected();
}
QString ControllerModel::connectionMode() const {
    return qs(rawValue(snapshot_->connectionMode));
}
QString ControllerModel::connectionModeLabel() const {
    return qs(label(snapshot_->connectionMode, language_));
}
bool ControllerModel::http2() const {
    return snapshot_->http2;
}
QString ControllerModel::http2Tip() const {
    return QString::fromStdString(snapshot_->http2Tip);
}
QString ControllerModel::conflictBanner() const {
    return QString::fromStdString(snapshot_->conflictBanner);
}
QString ControllerModel::usquePath() const {
    return QString::fromStdString(snapshot_->usquePath);
}
QString ControllerModel::globalCoverageNote() const {
    return QString::fromStdString(snapshot_->globalCoverageNote);
}
QString ControllerModel::language() const {
    return qs(rawValue(language_));
}

QString ControllerModel::downSpeed() const {
    const auto [number, unit] = traffic::formatSpeed(snapshot_->traffic.downSpeed);
    return QString::fromStdString(number + " " + unit);
}
QString ControllerModel::upSpeed() const {
    const auto [number, unit] = traffic::formatSpeed(snapshot_->traffic.upSpeed);
    return QString::fromStdString(number + " " + unit);
}
QString ControllerModel::totalDown() const {
    return QString::fromStdString(traffic::formatBytes(snapshot_->traffic.totalRxBytes));
}
QString ControllerModel::totalUp() const {
    return QString::fromStdString(traffic::formatBytes(snapshot_->traffic.totalTxBytes));
}
QString ControllerModel::connectedTime() const {
    return QString::fromStdString(traffic::formatUptime(snapshot_->traffic.uptimeSeconds));
}

QString ControllerModel::buttonLabel() const {
    return qs(L10n::connectButtonTitle(snapshot_->phase, snapshot_->connecting, language_));
}

bool ControllerModel::buttonEnabled() const {
    return snapshot_->phase != WarpPhase::stopping;
}

}  // namespace nimbra::shell
