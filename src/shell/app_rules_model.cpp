#include "shell/app_rules_model.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <asio/post.hpp>
#include <exception>
#include <optional>

#include "apprules/app_launcher.hpp"
#include "apprules/app_name_order.hpp"
#include "apprules/installed_app_scan.hpp"
#include "apprules/running_app_scan.hpp"
#include "base/async/core_runtime.hpp"
#include "l10n/app_rules_texts.hpp"
#include "l10n/localized_error.hpp"
#include "model/app_preferences.hpp"
#include "shell/controller_model.hpp"

namespace nimbra::shell {
namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

AppRuleTarget targetOf(const QString& raw) {
    return appRuleTargetFromRaw(raw.toStdString()).value_or(AppRuleTarget::proxy);
}

constexpr int kToastMilliseconds = 2500;

// A scan's applications with the Icon of each one's entry, by the entry's path.
struct Scanned {
    std::vector<AppRuleItem> apps;
    std::map<std::string, std::string> icons;
};

Scanned noteIcons(const std::vector<apprules::DesktopEntry>& entries,
                  std::vector<AppRuleItem> apps) {
    std::map<std::string, std::string> icons;
    for (const apprules::DesktopEntry& entry : entries) icons.emplace(entry.path, entry.icon);
    return {std::move(apps), std::move(icons)};
}

}  // namespace

AppRulesModel::AppRulesModel(ControllerModel& model, CoreRuntime& runtime, PreferenceStore& store,
                             QObject* parent)
    : QObject(parent),
      model_(model),
      runtime_(runtime),
      store_(store),
      rulesStore_(AppPreferences(store),
                  [&runtime, saved = model.appRulesSavedNotice()](std::function<void()> job) {
                      // Once written, nimbrad routes running applications by the new rules.
                      asio::post(runtime.blockingPool(), [job = std::move(job), saved] {
                          job();
                          saved();
                      });
                  }),
      panel_(rulesStore_, PlatformProfile::current(), model.appLanguage()) {
    connect(&model_, &ControllerModel::changed, this, &AppRulesModel::followController);
    preferencesFolder_.addPath(QString::fromStdString(store.file().parent_path().string()));
    connect(&preferencesFolder_, &QFileSystemWatcher::directoryChanged, this,
            &AppRulesModel::takeRulesWrittenElsewhere);
    refresh();
    followController();
}

// Our own saves change the folder too; reload() tells them apart, finding the file as we left it.
void AppRulesModel::takeRulesWrittenElsewhere() {
    offGuiThread([&store = store_] { return store.reload(); },
                 [this](bool changed) {
                     if (!changed) return;
                     panel_.reloadRules();
                     refresh();
                 });
}

AppRulesModel::~AppRulesModel() = default;

// Snapshots arrive each second while traffic is shown: the rows are rebuilt only when the
// language or where the applications' traffic goes changed, the notice only when its text did.
void AppRulesModel::followController() {
    const ControllerSnapshot& snapshot = *model_.snapshot();
    const bool languageChanged = panel_.language() != model_.appLanguage();
    panel_.setLanguage(model_.appLanguage());
    if (panel_.setAppTraffic(snapshot.appTraffic) || languageChanged) refresh();
    const QString notice = qs(panel_.modeNotice(snapshot));
    if (notice != modeNotice_) {
        modeNotice_ = notice;
        Q_EMIT modeNoticeChanged();
    }
}

void AppRulesModel::refresh() {
    content_ = panel_.tabContent();
    captions_.clear();
    for (const auto& [key, text] :
         L10n::appRulesCaptions(PlatformProfile::current(), panel_.language())) {
        captions_.insert(qs(key), qs(text));
    }
    Q_EMIT changed();
}

template <typename Edit>
void AppRulesModel::apply(Edit&& edit) {
    edit(panel_);
    refresh();
    if (panel_.toastGeneration() != shownToast_) startToastClear();
}

void AppRulesModel::startToastClear() {
    shownToast_ = panel_.toastGeneration();
    Q_EMIT toastChanged();
    QTimer::singleShot(kToastMilliseconds, this, [this, generation = shownToast_] {
        panel_.clearToastIfStill(generation);
        Q_EMIT toastChanged();
    });
}

template <typename Job, typename Done>
void AppRulesModel::offGuiThread(Job job, Done done) {
    const QPointer<AppRulesModel> guard(this);
    asio::post(runtime_.blockingPool(), [guard, job = std::move(job), done = std::move(done)] {
        auto result = job();
        // The application object outlives the pool's jobs; the guard tells whether we do.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, done, result = std::move(result)]() mutable {
                if (guard) done(std::move(result));
            },
            Qt::QueuedConnection);
    });
}

QString AppRulesModel::selectedTab() const {
    return qs(rawValue(panel_.selectedTab()));
}

QVariantList AppRulesModel::tabs() const {
    QVariantList list;
    for (const auto& row : kAppRulesTabs) {
        list.append(QVariantMap{{QStringLiteral("value"), qs(row.raw)},
                                {QStringLiteral("title"), qs(panel_.tabLabel(row.value))}});
    }
    return list;
}

QVariantList AppRulesModel::rows() const {
    QVariantList list;
    for (const presentation::AppRuleRow& row : content_.rows) {
        const auto icon = icons_.find(row.item.appPath);
        list.append(QVariantMap{
            {QStringLiteral("name"), qs(row.item.name)},
            {QStringLiteral("id"), qs(row.item.id)},
            {QStringLiteral("subtitle"),
             qs(row.item.bundleId.empty() ? row.item.executableName : row.item.bundleId)},
            {QStringLiteral("icon"), icon == icons_.end() ? QString() : qs(icon->second)},
            {QStringLiteral("hasRule"), row.hasRule},
            {QStringLiteral("target"), qs(rawValue(row.target))},
            {QStringLiteral("enabled"), row.enabled},
            {QStringLiteral("badge"), qs(row.badge)},
            {QStringLiteral("badgeLit"), row.badgeLit},
            {QStringLiteral("traffic"), qs(row.traffic)},
            {QStringLiteral("trafficLit"), row.trafficLit},
            {QStringLiteral("accessibleName"), qs(row.accessibleName)}});
    }
    return list;
}

QString AppRulesModel::placeholder() const {
    return qs(content_.placeholder);
}

QString AppRulesModel::searchText() const {
    return qs(panel_.searchQuery());
}

QString AppRulesModel::defaultFallback() const {
    return qs(rawValue(panel_.defaultFallback()));
}

QVariantList AppRulesModel::targets() const {
    QVariantList list;
    for (AppRuleTarget target : {AppRuleTarget::proxy, AppRuleTarget::direct}) {
        list.append(QVariantMap{
            {QStringLiteral("value"), qs(rawValue(target))},
            {QStringLiteral("title"), qs(L10n::appRuleTargetTitle(target, panel_.language()))}});
    }
    return list;
}

QString AppRulesModel::toastText() const {
    return qs(panel_.statusToast());
}

const AppRuleItem* AppRulesModel::itemAt(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= content_.rows.size()) return nullptr;
    return &content_.rows[static_cast<std::size_t>(row)].item;
}

void AppRulesModel::selectTab(const QString& raw) {
    if (const auto tab = appRulesTabFromRaw(raw.toStdString())) {
        apply([tab](presentation::AppRulesPanel& panel) { panel.selectTab(*tab); });
    }
}

void AppRulesModel::search(const QString& text) {
    apply([text](presentation::AppRulesPanel& panel) { panel.setSearchQuery(text.toStdString()); });
}

void AppRulesModel::setDefaultFallback(const QString& raw) {
    apply([raw](presentation::AppRulesPanel& panel) { panel.setDefaultFallback(targetOf(raw)); });
}

void AppRulesModel::setRule(int row, const QString& target) {
    if (const AppRuleItem* item = itemAt(row)) {
        apply([item = *item, target](presentation::AppRulesPanel& panel) {
            panel.setRule(item, targetOf(target));
        });
    }
}

void AppRulesModel::updateTarget(int row, const QString& target) {
    if (const AppRuleItem* item = itemAt(row)) {
        apply([item = *item, target](presentation::AppRulesPanel& panel) {
            panel.updateTarget(item, targetOf(target));
        });
    }
}

void AppRulesModel::toggleEnabled(int row, bool enabled) {
    if (const AppRuleItem* item = itemAt(row)) {
        apply([item = *item, enabled](presentation::AppRulesPanel& panel) {
            panel.toggleEnabled(item, enabled);
        });
    }
}

void AppRulesModel::remove(int row) {
    if (const AppRuleItem* item = itemAt(row)) {
        apply([item = *item](presentation::AppRulesPanel& panel) { panel.removeRule(item); });
    }
}

QVariantList AppRulesModel::rowMenu(int row) const {
    static constexpr const char* kActions[] = {"setProxy", "setDirect", "launch", "showInFiles",
                                               "remove"};
    QVariantList entries;
    if (const AppRuleItem* item = itemAt(row)) {
        for (const presentation::AppRuleMenuEntry& entry : panel_.rowMenu(*item)) {
            entries.append(
                QVariantMap{{QStringLiteral("action"),
                             QString::fromLatin1(kActions[static_cast<int>(entry.action)])},
                            {QStringLiteral("text"), qs(entry.text)},
                            {QStringLiteral("checked"), entry.checked},
                            {QStringLiteral("label"), qs(entry.label())}});
        }
    }
    return entries;
}

void AppRulesModel::runAction(int row, const QString& action) {
    const AppRuleItem* item = itemAt(row);
    if (!item) return;
    // A rule's row changes that rule; an app's row without one adds it.
    const bool hasRule = content_.rows[static_cast<std::size_t>(row)].hasRule;
    if (action == QLatin1String("setProxy") || action == QLatin1String("setDirect")) {
        const QString target = action == QLatin1String("setProxy") ? QStringLiteral("proxy")
                                                                   : QStringLiteral("direct");
        hasRule ? updateTarget(row, target) : setRule(row, target);
    } else if (action == QLatin1String("launch")) {
        launch(row);
    } else if (action == QLatin1String("showInFiles")) {
        showInFiles(row);
    } else if (action == QLatin1String("remove")) {
        remove(row);
    }
}

void AppRulesModel::takeIcons(const std::map<std::string, std::string>& icons) {
    for (const auto& [path, icon] : icons) icons_[path] = icon;
}

void AppRulesModel::refreshRunning() {
    const std::string locale = apprules::desktopEntryLocale(panel_.language());
    // Read here: the environment is the GUI thread's to change, never read from the pool.
    offGuiThread(
        [locale, environment = apprules::AppScanEnvironment::fromProcess()] {
            const auto entries = apprules::installedDesktopEntries(environment, locale);
            return noteIcons(entries,
                             apprules::runningApplications(entries, environment.searchPath));
        },
        [this](Scanned scanned) {
            takeIcons(scanned.icons);
            apply([&scanned](presentation::AppRulesPanel& panel) {
                panel.setRunningApps(std::move(scanned.apps));
            });
        });
}

void AppRulesModel::scanInstalled() {
    if (!panel_.beginInstalledScan()) return;
    refresh();
    const std::string locale = apprules::desktopEntryLocale(panel_.language());
    offGuiThread(
        [locale, environment = apprules::AppScanEnvironment::fromProcess()] {
            const auto entries = apprules::installedDesktopEntries(environment, locale);
            std::vector<AppRuleItem> apps;
            for (const apprules::DesktopEntry& entry : entries) {
                apps.push_back(apprules::appRuleItemFor(entry));
            }
            apprules::sortByName(apps);
            return noteIcons(entries, std::move(apps));
        },
        [this](Scanned scanned) {
            takeIcons(scanned.icons);
            apply([&scanned](presentation::AppRulesPanel& panel) {
                panel.finishInstalledScan(std::move(scanned.apps));
            });
        });
}

void AppRulesModel::launch(int row) {
    const AppRuleItem* item = itemAt(row);
    if (!item) return;
    const AppPreferences preferences(store_);
    const int socksPort = preferences.socksPort();
    const int httpPort = preferences.httpProxyPort();
    const AppLanguage language = panel_.language();
    offGuiThread(
        [item = *item, socksPort, httpPort, language]() -> std::optional<std::string> {
            try {
                apprules::launch(item, socksPort, httpPort);
                return std::nullopt;
            } catch (...) {
                return describeError(std::current_exception(), language);
            }
        },
        [this, item = *item](std::optional<std::string> failure) {
            apply([&](presentation::AppRulesPanel& panel) {
                failure ? panel.launchFailed(*failure) : panel.launchSucceeded(item);
            });
        });
}

void AppRulesModel::chooseFromDisk(const QString& pathOrUrl) {
    const QUrl url(pathOrUrl);
    const std::string path = (url.isLocalFile() ? url.toLocalFile() : pathOrUrl).toStdString();
    const std::string locale = apprules::desktopEntryLocale(panel_.language());
    offGuiThread([path, locale] { return apprules::parseAppEntry(path, locale); },
                 [this](std::optional<AppRuleItem> item) {
                     // A file that is not an application entry adds nothing.
                     if (!item) return;
                     apply([&item](presentation::AppRulesPanel& panel) {
                         panel.setRule(*item, AppRuleTarget::proxy);
                     });
                 });
}

// The file manager selects the entry's file; without one on the session bus the folder opens.
void AppRulesModel::showInFiles(int row) {
    const AppRuleItem* item = itemAt(row);
    if (!item || item->appPath.empty()) return;
    const QUrl file = QUrl::fromLocalFile(qs(item->appPath));
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{file.toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [folder](QDBusPendingCallWatcher* w) {
                if (w->isError()) QDesktopServices::openUrl(folder);
                w->deleteLater();
            });
}

}  // namespace nimbra::shell
