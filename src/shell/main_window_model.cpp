#include "shell/main_window_model.hpp"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <asio/post.hpp>
#include <string_view>
#include <utility>

#include "base/async/core_runtime.hpp"
#include "base/version.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"
#include "l10n/window_texts.hpp"
#include "model/app_preferences.hpp"
#include "model/app_theme.hpp"
#include "model/connection_mode.hpp"
#include "model/daemon_dns_mode_option.hpp"
#include "model/preference_keys.hpp"
#include "model/split_tunnel_mode.hpp"
#include "observe/traffic_formatting.hpp"
#include "presentation/china_source.hpp"
#include "presentation/detail_line.hpp"
#include "presentation/exclude_entry.hpp"
#include "presentation/gateway_panel.hpp"
#include "presentation/mode_selector_note.hpp"
#include "presentation/navigation_rows.hpp"
#include "presentation/overview_panel.hpp"
#include "presentation/proxy_hint.hpp"
#include "presentation/status_card.hpp"
#include "presentation/theme_description.hpp"
#include "shell/controller_model.hpp"
#include "system/platform_profile.hpp"

namespace nimbra::shell {
namespace {

using namespace nimbra::presentation;

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The theme's property of the same name gives the colour.
QString roleName(ColorRole role) {
    switch (role) {
        case ColorRole::text:
            return QStringLiteral("text");
        case ColorRole::textMuted:
            return QStringLiteral("textMuted");
        case ColorRole::accent:
            return QStringLiteral("accent");
        case ColorRole::emerald:
            return QStringLiteral("emerald");
        case ColorRole::amber:
            return QStringLiteral("amber");
        case ColorRole::coral:
            return QStringLiteral("coral");
    }
    return QStringLiteral("text");
}

QString tabName(SidePanelTab tab) {
    switch (tab) {
        case SidePanelTab::overview:
            return QStringLiteral("overview");
        case SidePanelTab::exitNodes:
            return QStringLiteral("exitNodes");
        case SidePanelTab::appRules:
            return QStringLiteral("appRules");
        case SidePanelTab::advanced:
            return QStringLiteral("advanced");
    }
    return QStringLiteral("overview");
}

// An enumeration's cases as {value, title} in table order: the segments of a choice.
template <typename Table>
QVariantList choices(const Table& table, AppLanguage language) {
    QVariantList list;
    for (const auto& row : table) {
        list.append(
            QVariantMap{{QStringLiteral("value"), qs(row.raw)},
                        {QStringLiteral("title"), qs(pick(language, row.english, row.chinese))}});
    }
    return list;
}

QString speedText(double bytesPerSecond) {
    const auto [number, unit] = traffic::formatSpeed(bytesPerSecond);
    return QString::fromStdString(number + " " + unit);
}

// Called from the store's writing thread: the reload itself happens on the GUI thread, and not
// at all once the model is gone.
void postReload(const QPointer<MainWindowModel>& guard, void (MainWindowModel::*reload)()) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [guard, reload] {
            if (MainWindowModel* model = guard.data()) (model->*reload)();
        },
        Qt::QueuedConnection);
}

}  // namespace

MainWindowModel::MainWindowModel(ControllerModel& model, CoreRuntime& runtime,
                                 WarpController& controller, PreferenceStore& store,
                                 QObject* parent)
    : QObject(parent),
      model_(model),
      runtime_(runtime),
      controller_(controller),
      store_(store),
      autostart_(QCoreApplication::applicationFilePath().toStdString()) {
    connect(&model_, &ControllerModel::changed, this, &MainWindowModel::snapshotChanged);
    snapshotChanged();
    reloadPreferences();
    // The theme, the ports the proxy hint names and the rule count are preferences, not
    // controller fields: follow the store.
    const QPointer<MainWindowModel> guard(this);
    for (const char* key :
         {prefkey::uiTheme, prefkey::httpProxyPort, prefkey::socksPort, prefkey::appRulesList}) {
        subscriptions_.push_back(store_.subscribe(key, [guard](std::string_view) {
            postReload(guard, &MainWindowModel::reloadPreferences);
        }));
    }
}

MainWindowModel::~MainWindowModel() = default;

void MainWindowModel::reloadPreferences() {
    const AppPreferences preferences(store_);
    theme_ = qs(rawValue(preferences.theme()));
    httpPort_ = preferences.httpProxyPort();
    socksPort_ = preferences.socksPort();
    ruleCount_ = static_cast<long long>(preferences.appRules().size());
    Q_EMIT changed();
}

const ControllerSnapshot& MainWindowModel::snapshot() const {
    return *model_.snapshot();
}

AppLanguage MainWindowModel::appLanguage() const {
    return model_.appLanguage();
}

QString MainWindowModel::version() const {
    return QStringLiteral("v") + QString::fromUtf8(kVersion);
}

void MainWindowModel::snapshotChanged() {
    if (textsLanguage_ != appLanguage()) {
        textsLanguage_ = appLanguage();
        texts_.clear();
        for (const WindowText& text : kWindowTexts) {
            texts_.insert(qs(text.key), qs(pick(appLanguage(), text.english, text.chinese)));
        }
        Q_EMIT textsChanged();
    }
    const auto& history = snapshot().traffic.speedHistory;
    const std::string newest = history.empty() ? std::string() : history.back().id;
    if (newest != newestSample_) {
        newestSample_ = newest;
        Q_EMIT historyChanged();
    }
    Q_EMIT changed();
}

QString MainWindowModel::language() const {
    return qs(rawValue(appLanguage()));
}

// The toggle names the other language, in that language.
QString MainWindowModel::languageToggleTitle() const {
    const AppLanguage other =
        appLanguage() == AppLanguage::chinese ? AppLanguage::english : AppLanguage::chinese;
    return qs(menuName(other));
}

QString MainWindowModel::theme() const {
    return theme_;
}

QVariantList MainWindowModel::themes() const {
    // The chips read Light, Pro Dark, System.
    QVariantList list;
    for (AppTheme theme : {AppTheme::light, AppTheme::dark, AppTheme::system}) {
        const auto& row = rowOf(kAppThemes, theme);
        list.append(QVariantMap{
            {QStringLiteral("value"), qs(row.raw)},
            {QStringLiteral("title"), qs(pick(appLanguage(), row.english, row.chinese))},
            {QStringLiteral("description"),
             QString::fromStdString(
                 themeDescription(theme, PlatformProfile::current(), appLanguage()))}});
    }
    return list;
}

QString MainWindowModel::quitTitle() const {
    return QString::fromStdString(L10n::trayQuit(appLanguage()));
}

QString MainWindowModel::statusLabel() const {
    return QString::fromStdString(L10n::status(snapshot().phase, appLanguage()));
}
QString MainWindowModel::statusColor() const {
    return roleName(presentation::statusColor(snapshot()));
}
bool MainWindowModel::ringMoves() const {
    return statusRingMoves(snapshot().phase);
}
QString MainWindowModel::detailLine() const {
    return QString::fromStdString(presentation::detailLine(snapshot(), appLanguage()));
}
bool MainWindowModel::detailInFigureFont() const {
    return presentation::detailInFigureFont(presentation::detailLine(snapshot(), appLanguage()));
}
QString MainWindowModel::buttonTitle() const {
    return QString::fromStdString(
        L10n::connectButtonTitle(snapshot().phase, snapshot().connecting, appLanguage()));
}
bool MainWindowModel::buttonEnabled() const {
    return connectButtonEnabled(snapshot());
}
bool MainWindowModel::isConnected() const {
    return snapshot().isConnected();
}
QString MainWindowModel::conflictBanner() const {
    return QString::fromStdString(conflictBannerText(snapshot(), appLanguage()).value_or(""));
}
bool MainWindowModel::conflictBannerShown() const {
    return conflictBannerText(snapshot(), appLanguage()).has_value();
}
QString MainWindowModel::usqueNotice() const {
    return QString::fromStdString(
        usqueMissingNotice(snapshot(), PlatformProfile::current().usqueFetchScript, appLanguage()));
}
QString MainWindowModel::http2Tip() const {
    return QString::fromStdString(snapshot().http2Tip);
}
QString MainWindowModel::coverageNote() const {
    return QString::fromStdString(snapshot().globalCoverageNote);
}

QString MainWindowModel::connectionMode() const {
    return qs(rawValue(snapshot().connectionMode));
}
QVariantList MainWindowModel::connectionModes() const {
    return choices(kConnectionModes, appLanguage());
}
QString MainWindowModel::splitMode() const {
    return qs(rawValue(snapshot().splitTunnelMode));
}
QVariantList MainWindowModel::splitModes() const {
    return choices(kSplitTunnelModes, appLanguage());
}
QString MainWindowModel::modeNote() const {
    return QString::fromStdString(modeSelectorNote(snapshot(), appLanguage()));
}

QVariantList MainWindowModel::navigationRows() const {
    QVariantList list;
    for (const NavigationRow& row :
         presentation::navigationRows(snapshot(), ruleCount_, appLanguage())) {
        list.append(QVariantMap{{QStringLiteral("tab"), tabName(row.tab)},
                                {QStringLiteral("title"), QString::fromStdString(row.title)},
                                {QStringLiteral("subtitle"), QString::fromStdString(row.subtitle)},
                                {QStringLiteral("trailing"), QString::fromStdString(row.trailing)},
                                {QStringLiteral("live"), row.live}});
    }
    return list;
}

QString MainWindowModel::exitIp() const {
    return QString::fromStdString(snapshot().exitIp);
}
QString MainWindowModel::exitIpCaption() const {
    const bool v6 = overviewFigures(snapshot()).exitIsIpv6;
    return texts_.value(v6 ? QStringLiteral("exitIpv6") : QStringLiteral("exitIpv4")).toString();
}
QString MainWindowModel::exitLocColo() const {
    return QString::fromStdString(snapshot().exitLoc + " / " + snapshot().exitColo);
}
QString MainWindowModel::warpStatus() const {
    return QString::fromStdString(overviewFigures(snapshot()).warpStatus);
}
QString MainWindowModel::protocol() const {
    return QString::fromStdString(overviewFigures(snapshot()).protocol);
}
QString MainWindowModel::connectedTime() const {
    return QString::fromStdString(overviewFigures(snapshot()).connectedTime);
}
bool MainWindowModel::showsTunInterface() const {
    return overviewFigures(snapshot()).showsTunInterface;
}
QString MainWindowModel::tunIface() const {
    return QString::fromStdString(snapshot().tunIface);
}
QString MainWindowModel::downSpeed() const {
    return speedText(snapshot().traffic.downSpeed);
}
QString MainWindowModel::upSpeed() const {
    return speedText(snapshot().traffic.upSpeed);
}
QString MainWindowModel::totalDown() const {
    return QString::fromStdString(traffic::formatBytes(snapshot().traffic.totalRxBytes));
}
QVariantList MainWindowModel::downHistory() const {
    QVariantList list;
    for (const SpeedSample& sample : snapshot().traffic.speedHistory) {
        list.append(sample.downBytesPerSec);
    }
    return list;
}
QVariantList MainWindowModel::upHistory() const {
    QVariantList list;
    for (const SpeedSample& sample : snapshot().traffic.speedHistory) {
        list.append(sample.upBytesPerSec);
    }
    return list;
}

QVariantMap MainWindowModel::gatewayHeader() const {
    const GatewayPanelHeader header = presentation::gatewayPanelHeader(snapshot(), appLanguage());
    return {{QStringLiteral("title"), QString::fromStdString(header.title)},
            {QStringLiteral("subtitle"), QString::fromStdString(header.subtitle)},
            {QStringLiteral("fastestButton"), QString::fromStdString(header.fastestButton)},
            {QStringLiteral("fastestEnabled"), header.fastestEnabled},
            {QStringLiteral("testButton"), QString::fromStdString(header.testButton)},
            {QStringLiteral("testEnabled"), header.testEnabled},
            {QStringLiteral("switchingNote"), QString::fromStdString(header.switchingNote)}};
}

QVariantList MainWindowModel::gatewayCards() const {
    QVariantList list;
    for (const GatewayCard& card : presentation::gatewayCards(snapshot(), appLanguage())) {
        list.append(
            QVariantMap{{QStringLiteral("gateway"), QString::fromStdString(rawValue(card.gateway))},
                        {QStringLiteral("title"), QString::fromStdString(card.title)},
                        {QStringLiteral("subtitle"), QString::fromStdString(card.subtitle)},
                        {QStringLiteral("latency"), QString::fromStdString(card.latency)},
                        {QStringLiteral("latencyColor"), roleName(card.latencyColor)},
                        {QStringLiteral("selected"), card.selected},
                        {QStringLiteral("badge"), QString::fromStdString(card.badge)}});
    }
    return list;
}

QString MainWindowModel::dnsMode() const {
    return qs(rawValue(snapshot().dnsModeOption));
}
QVariantList MainWindowModel::dnsModes() const {
    QVariantList list;
    for (const auto& row : kDaemonDNSModeOptions) {
        list.append(QVariantMap{{QStringLiteral("value"), qs(row.raw)},
                                {QStringLiteral("title"), QString::fromStdString(L10n::dnsModeTitle(
                                                              row.value, appLanguage()))}});
    }
    return list;
}
QString MainWindowModel::dnsProfileDraft() const {
    return QString::fromStdString(snapshot().dnsProfileDraft);
}
QString MainWindowModel::dnsDeviceDraft() const {
    return QString::fromStdString(snapshot().dnsDeviceDraft);
}
QString MainWindowModel::dnsCustomDraft() const {
    return QString::fromStdString(snapshot().dnsCustomDraft);
}
QString MainWindowModel::dnsWarning() const {
    return QString::fromStdString(snapshot().dnsWarning);
}
bool MainWindowModel::chinaDirect() const {
    return snapshot().chinaDirect;
}
QString MainWindowModel::chinaSource() const {
    return QString::fromStdString(chinaSourceLine(snapshot().chinaSource, appLanguage()));
}
bool MainWindowModel::http2() const {
    return snapshot().http2;
}
QStringList MainWindowModel::daemonExcludes() const {
    QStringList list;
    for (const std::string& entry : snapshot().daemonExcludes) {
        list.append(QString::fromStdString(entry));
    }
    return list;
}

void MainWindowModel::setExcludeDraft(const QString& draft) {
    if (draft == excludeDraft_) return;
    excludeDraft_ = draft;
    Q_EMIT changed();
}

bool MainWindowModel::excludeAddEnabled() const {
    return presentation::excludeAddEnabled(excludeDraft_.toStdString(), snapshot());
}

QString MainWindowModel::proxyHint() const {
    return QString::fromStdString(
        presentation::proxyHint(snapshot(), httpPort_, socksPort_, PlatformProfile::current()));
}

void MainWindowModel::post(std::function<void(WarpController&)> action) {
    runtime_.post([&controller = controller_, action = std::move(action)] { action(controller); });
}

void MainWindowModel::windowShown() {
    post([](WarpController& controller) {
        controller.refreshUsquePath();
        controller.refreshConflicts();
        if (controller.state().connectionMode == ConnectionMode::realTun) {
            controller.refreshDaemonStatus();
        }
        controller.refreshExitProbes();
        // Read on the core thread, so an attempt that began since the window's last snapshot
        // keeps its own exit check.
        const ControllerSnapshot& state = controller.state();
        const bool atRest =
            state.phase == WarpPhase::disconnected || state.phase == WarpPhase::error;
        if (!state.isConnected() && !state.connecting && atRest) controller.refreshExit();
    });
}

void MainWindowModel::toggle() {
    if (!buttonEnabled()) return;
    post([](WarpController& controller) { controller.toggle(); });
}

void MainWindowModel::refreshConflicts() {
    post([](WarpController& controller) { controller.refreshConflicts(); });
}

void MainWindowModel::refreshExit() {
    post([](WarpController& controller) { controller.refreshExit(); });
}

void MainWindowModel::setConnectionMode(const QString& raw) {
    const auto mode = connectionModeFromRaw(raw.toStdString());
    if (!mode) return;
    post([mode = *mode](WarpController& controller) { controller.setConnectionMode(mode); });
}

void MainWindowModel::setSplitTunnelMode(const QString& raw) {
    const auto mode = splitTunnelModeFromRaw(raw.toStdString());
    if (!mode) return;
    post([mode = *mode](WarpController& controller) { controller.setSplitTunnelMode(mode); });
}

void MainWindowModel::chooseGateway(const QString& raw) {
    const NAT64Gateway gateway = nat64GatewayFromPrefix(raw.toStdString());
    post([gateway](WarpController& controller) { controller.setNat64Gateway(gateway); });
}

void MainWindowModel::testAllGateways() {
    post([](WarpController& controller) { controller.refreshExitProbes(); });
}

void MainWindowModel::chooseFastestGateway() {
    post([](WarpController& controller) { controller.autoSelectFastestGateway(); });
}

void MainWindowModel::setHttp2(bool enabled) {
    post([enabled](WarpController& controller) { controller.setHttp2(enabled); });
}

void MainWindowModel::setChinaDirect(bool on) {
    post([on](WarpController& controller) { controller.setChinaDirect(on); });
}

void MainWindowModel::refreshStartAtLogin() {
    const bool on = autostart_.enabled();
    if (on == startAtLogin_) return;
    startAtLogin_ = on;
    Q_EMIT startAtLoginChanged();
}

void MainWindowModel::setStartAtLogin(bool on) {
    try {
        autostart_.setEnabled(on);
    } catch (const std::exception&) {
        // An unwritable config folder: the switch goes back to what is really on disk.
    }
    // Announced even when unchanged, so a switch the user flipped in vain flips back.
    startAtLogin_ = autostart_.enabled();
    Q_EMIT startAtLoginChanged();
}

void MainWindowModel::setDnsMode(const QString& raw) {
    const auto mode = daemonDNSModeOptionFromRaw(raw.toStdString());
    if (!mode) return;
    post([mode = *mode](WarpController& controller) { controller.setDnsModeOption(mode); });
}

void MainWindowModel::setDnsDrafts(const QString& profile, const QString& device,
                                   const QString& custom) {
    post([profile = profile.toStdString(), device = device.toStdString(),
          custom = custom.toStdString()](WarpController& controller) mutable {
        controller.setDnsDrafts(std::move(profile), std::move(device), std::move(custom));
    });
}

void MainWindowModel::applyDns() {
    post([](WarpController& controller) { controller.applyDaemonDNSLive(); });
}

void MainWindowModel::addExclude() {
    if (!excludeAddEnabled()) return;
    post([draft = excludeDraft_.toStdString()](WarpController& controller) {
        controller.addDaemonExclude(draft);
    });
    setExcludeDraft(QString());
}

void MainWindowModel::removeExclude(const QString& entry) {
    post([entry = entry.toStdString()](WarpController& controller) {
        controller.removeDaemonExclude(entry);
    });
}

void MainWindowModel::setLanguage(const QString& raw) {
    model_.setLanguage(raw);
}

void MainWindowModel::setTheme(const QString& raw) {
    model_.setTheme(raw);
}

void MainWindowModel::copyToClipboard(const QString& text) {
    if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(text);
}

}  // namespace nimbra::shell
