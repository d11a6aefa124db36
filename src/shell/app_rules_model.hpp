#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>
#include <map>
#include <string>
#include <vector>

#include "base/preference_store.hpp"
#include "model/app_language.hpp"
#include "presentation/app_rules_panel.hpp"
#include "presentation/preferences_app_rules_store.hpp"

namespace nimbra {
class CoreRuntime;
}  // namespace nimbra

namespace nimbra::shell {

class ControllerModel;

// The per-app rules panel (presentation::AppRulesPanel) as the window's QML sees it, the context
// property `appRules`. Lives on the GUI thread: scans, a chosen entry's read and launches run on
// the core runtime's blocking pool and hand their result back here; saves go there through the
// store. The only timer is the toast's 2.5 s clear, started by a toast.
class AppRulesModel : public QObject {
    Q_OBJECT
    // Rebuilt on an edit, a scan's result, the search, the tab or the language.
    Q_PROPERTY(QVariantMap captions READ captions NOTIFY changed)
    Q_PROPERTY(QString selectedTab READ selectedTab NOTIFY changed)
    // {value, title} per tab, in order.
    Q_PROPERTY(QVariantList tabs READ tabs NOTIFY changed)
    // {name, id, subtitle, icon, hasRule, target, enabled, badge, badgeLit, traffic, trafficLit,
    // accessibleName} per row of the selected tab.
    Q_PROPERTY(QVariantList rows READ rows NOTIFY changed)
    Q_PROPERTY(QString placeholder READ placeholder NOTIFY changed)
    Q_PROPERTY(bool scanning READ scanning NOTIFY changed)
    Q_PROPERTY(bool offersScan READ offersScan NOTIFY changed)
    Q_PROPERTY(QString searchText READ searchText NOTIFY changed)
    Q_PROPERTY(QString defaultFallback READ defaultFallback NOTIFY changed)
    // {value, title} for proxy and direct.
    Q_PROPERTY(QVariantList targets READ targets NOTIFY changed)
    Q_PROPERTY(QString modeNotice READ modeNotice NOTIFY modeNoticeChanged)
    Q_PROPERTY(QString toastText READ toastText NOTIFY toastChanged)

public:
    AppRulesModel(ControllerModel& model, CoreRuntime& runtime, PreferenceStore& store,
                  QObject* parent = nullptr);
    ~AppRulesModel() override;

    QVariantMap captions() const { return captions_; }
    QString selectedTab() const;
    QVariantList tabs() const;
    QVariantList rows() const;
    QString placeholder() const;
    bool scanning() const { return content_.scanning; }
    bool offersScan() const { return content_.offersScan; }
    QString searchText() const;
    QString defaultFallback() const;
    QVariantList targets() const;
    QString modeNotice() const { return modeNotice_; }
    QString toastText() const;

    Q_INVOKABLE void selectTab(const QString& raw);
    Q_INVOKABLE void search(const QString& text);
    Q_INVOKABLE void setDefaultFallback(const QString& raw);
    // Rows are addressed by their position in `rows`.
    Q_INVOKABLE void setRule(int row, const QString& target);
    Q_INVOKABLE void updateTarget(int row, const QString& target);
    Q_INVOKABLE void toggleEnabled(int row, bool enabled);
    Q_INVOKABLE void remove(int row);
    // The row's menu as {action, text, checked}; runAction carries out one entry's action.
    Q_INVOKABLE QVariantList rowMenu(int row) const;
    Q_INVOKABLE void runAction(int row, const QString& action);
    Q_INVOKABLE void refreshRunning();
    Q_INVOKABLE void scanInstalled();
    Q_INVOKABLE void launch(int row);
    // A desktop entry the user picked (a local path or a file: URL) gets a proxy rule.
    Q_INVOKABLE void chooseFromDisk(const QString& pathOrUrl);
    Q_INVOKABLE void showInFiles(int row);

Q_SIGNALS:
    void changed();
    void modeNoticeChanged();
    void toastChanged();

private:
    void followController();
    void refresh();
    // Runs `edit` on the panel, then shows what changed (and times the toast it may have set).
    template <typename Edit>
    void apply(Edit&& edit);
    void startToastClear();
    const AppRuleItem* itemAt(int row) const;
    void takeIcons(const std::map<std::string, std::string>& icons);
    // Runs `job` on the blocking pool and `done` with its result back on the GUI thread.
    template <typename Job, typename Done>
    void offGuiThread(Job job, Done done);
    void takeRulesWrittenElsewhere();

    ControllerModel& model_;
    CoreRuntime& runtime_;
    PreferenceStore& store_;
    presentation::PreferencesAppRulesStore rulesStore_;
    presentation::AppRulesPanel panel_;
    presentation::AppRulesTabContent content_;
    QVariantMap captions_;
    QString modeNotice_;
    std::uint64_t shownToast_ = 0;
    // A desktop entry's Icon value by the entry's path, learnt from the scans.
    std::map<std::string, std::string> icons_;
    // The preferences' folder: another process (nimbra-cli apps) replacing the file shows here
    // (the file itself is replaced by rename, so a watch on it would end at the first change).
    QFileSystemWatcher preferencesFolder_;
};

}  // namespace nimbra::shell
