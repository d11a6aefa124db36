#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusObjectPath;

namespace nimbra::shell {

// Why a portal call failed, in words for the log: no portal at all, a portal without the
// GlobalShortcuts interface (GNOME before 47), or its own error.
QString portalFailure(const QDBusError& error);

// Alt+M through the XDG desktop portal (Wayland, where no client may grab keys): a
// GlobalShortcuts session with one shortcut, bound once; the portal's Activated signal for it
// becomes `pressed()`. Every call is asynchronous: answers arrive as Response signals on Request
// objects, and the GUI thread never waits for the portal.
class PortalGlobalShortcut : public QObject {
    Q_OBJECT

public:
    explicit PortalGlobalShortcut(QDBusConnection bus, QObject* parent = nullptr);
    // close().
    ~PortalGlobalShortcut() override;

    // Registers the application id, creates the session and binds the shortcut; `unavailable` says
    // why when any step fails.
    void start();
    // Closes the session and stops listening; a no-op once closed.
    void close();

Q_SIGNALS:
    void pressed();
    void unavailable(const QString& reason);

private Q_SLOTS:
    void onResponse(uint response, const QVariantMap& results);
    void onActivated(const QDBusObjectPath& session, const QString& shortcut, qulonglong timestamp,
                     const QVariantMap& options);

private:
    enum class Step { idle, creatingSession, binding, bound, closed };

    void createSession();
    void bindShortcut();
    // Calls a GlobalShortcuts method whose answer comes as the Response of a Request named by
    // `token`; listens at the Request's path before the call, so no answer can come unheard.
    void request(const QString& method, const QVariantList& arguments, const QString& token);
    void listenAt(const QString& requestPath);
    void stopListening();
    void fail(const QString& reason);

    QDBusConnection bus_;
    Step step_ = Step::idle;
    QString requestPath_;
    QString session_;
};

}  // namespace nimbra::shell
