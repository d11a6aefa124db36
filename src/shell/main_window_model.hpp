#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <memory>
#include <optional>
#include <string>

#include "base/preference_store.hpp"
#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"
#include "shell/autostart_entry.hpp"

namespace nimbra {
class CoreRuntime;
class WarpController;
}  // namespace nimbra

namespace nimbra::shell {

class ControllerModel;

// The main window's regions as the presentation rules word them: every text, colour role and
// visibility the window shows is computed here from the controller's latest snapshot and the
// interface language, so the QML only binds. Colours are roles ("emerald", "textMuted"...) that
// the window looks up in `theme`. Lives on the GUI thread; every action is posted to the core
// thread (settings to the blocking pool) and returns at once.
class MainWindowModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString version READ version CONSTANT)
    // Rebuilt only when the language changes, not at every snapshot.
    Q_PROPERTY(QVariantMap texts READ texts NOTIFY textsChanged)
    Q_PROPERTY(QString language READ language NOTIFY changed)
    Q_PROPERTY(QString languageToggleTitle READ languageToggleTitle NOTIFY changed)
    Q_PROPERTY(QString theme READ theme NOTIFY changed)
    Q_PROPERTY(QVariantList themes READ themes NOTIFY changed)
    Q_PROPERTY(QString quitTitle READ quitTitle NOTIFY changed)
    // Status card.
    Q_PROPERTY(QString statusLabel READ statusLabel NOTIFY changed)
    Q_PROPERTY(QString statusColor READ statusColor NOTIFY changed)
    Q_PROPERTY(bool ringMoves READ ringMoves NOTIFY changed)
    Q_PROPERTY(QString detailLine READ detailLine NOTIFY changed)
    Q_PROPERTY(bool detailInFigureFont READ detailInFigureFont NOTIFY changed)
    Q_PROPERTY(QString buttonTitle READ buttonTitle NOTIFY changed)
    Q_PROPERTY(bool buttonEnabled READ buttonEnabled NOTIFY changed)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY changed)
    Q_PROPERTY(QString conflictBanner READ conflictBanner NOTIFY changed)
    Q_PROPERTY(bool conflictBannerShown READ conflictBannerShown NOTIFY changed)
    // The controller's own notes: the HTTP/2 tip and what the system-proxy mode covers.
    Q_PROPERTY(QString http2Tip READ http2Tip NOTIFY changed)
    Q_PROPERTY(QString coverageNote READ coverageNote NOTIFY changed)
    Q_PROPERTY(QString usqueNotice READ usqueNotice NOTIFY changed)
    // Mode selector.
    Q_PROPERTY(QString connectionMode READ connectionMode NOTIFY changed)
    Q_PROPERTY(QVariantList connectionModes READ connectionModes NOTIFY changed)
    Q_PROPERTY(QString splitMode READ splitMode NOTIFY changed)
    Q_PROPERTY(QVariantList splitModes READ splitModes NOTIFY changed)
    Q_PROPERTY(QString modeNote READ modeNote NOTIFY changed)
    // Navigation card: {tab, title, subtitle, trailing, live}, in tab order.
    Q_PROPERTY(QVariantList navigationRows READ navigationRows NOTIFY changed)
    // Overview panel.
    Q_PROPERTY(QString exitIp READ exitIp NOTIFY changed)
    Q_PROPERTY(QString exitIpCaption READ exitIpCaption NOTIFY changed)
    Q_PROPERTY(QString exitLocColo READ exitLocColo NOTIFY changed)
    Q_PROPERTY(QString warpStatus READ warpStatus NOTIFY changed)
    Q_PROPERTY(QString protocol READ protocol NOTIFY changed)
    Q_PROPERTY(QString connectedTime READ connectedTime NOTIFY changed)
    Q_PROPERTY(bool showsTunInterface READ showsTunInterface NOTIFY changed)
    Q_PROPERTY(QString tunIface READ tunIface NOTIFY changed)
    Q_PROPERTY(QString downSpeed READ downSpeed NOTIFY changed)
    Q_PROPERTY(QString upSpeed READ upSpeed NOTIFY changed)
    Q_PROPERTY(QString totalDown READ totalDown NOTIFY changed)
    // The last 24 speeds in bytes per second, oldest first; announced only when a sample is new,
    // so the sparkline is drawn again only then.
    Q_PROPERTY(QVariantList downHistory READ downHistory NOTIFY historyChanged)
    Q_PROPERTY(QVariantList upHistory READ upHistory NOTIFY historyChanged)
    // Exit gateway panel: the header's texts and one card per gateway
    // {gateway, title, subtitle, latency, latencyColor, selected, badge}.
    Q_PROPERTY(QVariantMap gatewayHeader READ gatewayHeader NOTIFY changed)
    Q_PROPERTY(QVariantList gatewayCards READ gatewayCards NOTIFY changed)
    // Advanced panel.
    Q_PROPERTY(QString dnsMode READ dnsMode NOTIFY changed)
    Q_PROPERTY(QVariantList dnsModes READ dnsModes NOTIFY changed)
    Q_PROPERTY(QString dnsProfileDraft READ dnsProfileDraft NOTIFY changed)
    Q_PROPERTY(QString dnsDeviceDraft READ dnsDeviceDraft NOTIFY changed)
    Q_PROPERTY(QString dnsCustomDraft READ dnsCustomDraft NOTIFY changed)
    Q_PROPERTY(QString dnsWarning READ dnsWarning NOTIFY changed)
    Q_PROPERTY(bool chinaDirect READ chinaDirect NOTIFY changed)
    Q_PROPERTY(QString chinaSource READ chinaSource NOTIFY changed)
    // Whether our autostart entry is on, as last read from disk (refreshStartAtLogin).
    Q_PROPERTY(bool startAtLogin READ startAtLogin NOTIFY startAtLoginChanged)
    Q_PROPERTY(bool http2 READ http2 NOTIFY changed)
    Q_PROPERTY(QStringList daemonExcludes READ daemonExcludes NOTIFY changed)
    Q_PROPERTY(QString excludeDraft READ excludeDraft WRITE setExcludeDraft NOTIFY changed)
    Q_PROPERTY(bool excludeAddEnabled READ excludeAddEnabled NOTIFY changed)
    Q_PROPERTY(QString proxyHint READ proxyHint NOTIFY changed)

public:
    MainWindowModel(ControllerModel& model, CoreRuntime& runtime, WarpController& controller,
                    PreferenceStore& store, QObject* parent = nullptr);
    ~MainWindowModel() override;

    QString version() const;
    QVariantMap texts() const { return texts_; }
    QString language() const;
    QString languageToggleTitle() const;
    QString theme() const;
    QVariantList themes() const;
    QString quitTitle() const;
    QString statusLabel() const;
    QString statusColor() const;
    bool ringMoves() const;
    QString detailLine() const;
    bool detailInFigureFont() const;
    QString buttonTitle() const;
    bool buttonEnabled() const;
    bool isConnected() const;
    QString conflictBanner() const;
    bool conflictBannerShown() const;
    QString http2Tip() const;
    QString coverageNote() const;
    QString usqueNotice() const;
    QString connectionMode() const;
    QVariantList connectionModes() const;
    QString splitMode() const;
    QVariantList splitModes() const;
    QString modeNote() const;
    QVariantList navigationRows() const;
    QString exitIp() const;
    QString exitIpCaption() const;
    QString exitLocColo() const;
    QString warpStatus() const;
    QString protocol() const;
    QString connectedTime() const;
    bool showsTunInterface() const;
    QString tunIface() const;
    QString downSpeed() const;
    QString upSpeed() const;
    QString totalDown() const;
    QVariantList downHistory() const;
    QVariantList upHistory() const;
    QVariantMap gatewayHeader() const;
    QVariantList gatewayCards() const;
    QString dnsMode() const;
    QVariantList dnsModes() const;
    QString dnsProfileDraft() const;
    QString dnsDeviceDraft() const;
    QString dnsCustomDraft() const;
    QString dnsWarning() const;
    bool chinaDirect() const;
    QString chinaSource() const;
    bool startAtLogin() const { return startAtLogin_; }
    bool http2() const;
    QStringList daemonExcludes() const;
    QString excludeDraft() const { return excludeDraft_; }
    void setExcludeDraft(const QString& draft);
    bool excludeAddEnabled() const;
    QString proxyHint() const;

    // The window came on screen: look at usque, conflicts, nimbrad (real TUN), the gateways'
    // latency and, while nothing is connected or connecting, the exit.
    Q_INVOKABLE void windowShown();
    Q_INVOKABLE void toggle();
    Q_INVOKABLE void refreshConflicts();
    Q_INVOKABLE void refreshExit();
    Q_INVOKABLE void setConnectionMode(const QString& raw);
    Q_INVOKABLE void setSplitTunnelMode(const QString& raw);
    Q_INVOKABLE void chooseGateway(const QString& raw);
    Q_INVOKABLE void testAllGateways();
    Q_INVOKABLE void chooseFastestGateway();
    Q_INVOKABLE void setHttp2(bool enabled);
    Q_INVOKABLE void setChinaDirect(bool on);
    // Reads the autostart entry again (the user may have changed it elsewhere) / writes or
    // removes it. Both touch one small file in the user's config folder, nothing that can wait.
    Q_INVOKABLE void refreshStartAtLogin();
    Q_INVOKABLE void setStartAtLogin(bool on);
    Q_INVOKABLE void setDnsMode(const QString& raw);
    Q_INVOKABLE void setDnsDrafts(const QString& profile, const QString& device,
                                  const QString& custom);
    Q_INVOKABLE void applyDns();
    // Sends the draft as a new exclusion (when the rule allows) and empties the draft.
    Q_INVOKABLE void addExclude();
    Q_INVOKABLE void removeExclude(const QString& entry);
    Q_INVOKABLE void setLanguage(const QString& raw);
    Q_INVOKABLE void setTheme(const QString& raw);
    Q_INVOKABLE void copyToClipboard(const QString& text);

Q_SIGNALS:
    void changed();
    void textsChanged();
    void historyChanged();
    void startAtLoginChanged();

private:
    const ControllerSnapshot& snapshot() const;
    AppLanguage appLanguage() const;
    void reloadPreferences();
    void snapshotChanged();
    // Runs `action` on the core thread with the controller.
    void post(std::function<void(WarpController&)> action);

    ControllerModel& model_;
    CoreRuntime& runtime_;
    WarpController& controller_;
    PreferenceStore& store_;
    QString excludeDraft_;
    AutostartEntry autostart_;
    bool startAtLogin_ = false;
    QVariantMap texts_;
    std::optional<AppLanguage> textsLanguage_;
    std::string newestSample_;
    QString theme_;
    int httpPort_ = 0;
    int socksPort_ = 0;
    long long ruleCount_ = 0;
    std::vector<std::unique_ptr<PreferenceStore::Subscription>> subscriptions_;
};

}  // namespace nimbra::shell
