#include "shell/portal_global_shortcut.hpp"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <utility>

#include "shell/app_id.hpp"

namespace nimbra::shell {
namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kShortcutId = QStringLiteral("toggle-window");

// The portal names a Request after the caller's unique name (":1.42" -> "1_42") and the token.
QString requestPathFor(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kPortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

// The session handle is a string in the interface's description and an object path in some
// portals' answers; either way it is a path.
QString pathText(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

// One entry of BindShortcuts' a(sa{sv}): the shortcut's id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut) {
    out.beginStructure();
    out << shortcut.id << shortcut.properties;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut) {
    in.beginStructure();
    in >> shortcut.id >> shortcut.properties;
    in.endStructure();
    return in;
}

}  // namespace
}  // namespace nimbra::shell

Q_DECLARE_METATYPE(nimbra::shell::PortalShortcut)

namespace nimbra::shell {

QString portalFailure(const QDBusError& error) {
    switch (error.type()) {
        case QDBusError::ServiceUnknown:
            return QStringLiteral("no desktop portal on the session bus");
        case QDBusError::UnknownMethod:
        case QDBusError::UnknownInterface:
        case QDBusError::UnknownObject:
            return QStringLiteral("the desktop portal offers no GlobalShortcuts");
        default:
            return QStringLiteral("the desktop portal answered %1: %2")
                .arg(error.name(), error.message());
    }
}

PortalGlobalShortcut::PortalGlobalShortcut(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

PortalGlobalShortcut::~PortalGlobalShortcut() {
    close();
}

void PortalGlobalShortcut::start() {
    if (step_ != Step::idle) return;
    if (!bus_.isConnected()) {
        fail(QStringLiteral("no session bus"));
        return;
    }
    // A program outside a sandbox tells the portal who it is, so the desktop lists the shortcut
    // under Nimbra. Portals before 1.19 lack the call and later ones take it only as a
    // connection's first portal call; either way the shortcut works, so the answer is not awaited.
    QDBusMessage registration = QDBusMessage::createMethodCall(
        kPortalService, kPortalPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
        QStringLiteral("Register"));
    registration << QString::fromUtf8(kAppId.data(), static_cast<qsizetype>(kAppId.size()))
                 << QVariantMap();
    bus_.send(registration);
    bus_.connect(QString(), kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                 SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    createSession();
}

void PortalGlobalShortcut::createSession() {
    step_ = Step::creatingSession;
    const QVariantMap options{{QStringLiteral("handle_token"), QStringLiteral("nimbra_session")},
                              {QStringLiteral("session_handle_token"), QStringLiteral("nimbra")}};
    request(QStringLiteral("CreateSession"), {options}, QStringLiteral("nimbra_session"));
}

void PortalGlobalShortcut::bindShortcut() {
    step_ = Step::binding;
    const QVariantMap properties{
        {QStringLiteral("description"), QStringLiteral("Show or hide the Nimbra window")},
        {QStringLiteral("preferred_trigger"), QStringLiteral("ALT+m")}};
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    const QList<PortalShortcut> shortcuts{{kShortcutId, properties}};
    const QVariantMap options{{QStringLiteral("handle_token"), QStringLiteral("nimbra_bind")}};
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts),
             QString(), options},
            QStringLiteral("nimbra_bind"));
}

void PortalGlobalShortcut::request(const QString& method, const QVariantList& arguments,
                                   const QString& token) {
    listenAt(requestPathFor(bus_, token));
    QDBusMessage call =
        QDBusMessage::createMethodCall(kPortalService, kPortalPath, kShortcuts, method);
    call.setArguments(arguments);
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *call;
                if (step_ == Step::closed) return;
                if (reply.isError()) {
                    fail(portalFailure(reply.error()));
                } else if (reply.value().path() != requestPath_) {
                    // Portals before 0.9 chose the path themselves.
                    listenAt(reply.value().path());
                }
            });
}

void PortalGlobalShortcut::listenAt(const QString& requestPath) {
    stopListening();
    requestPath_ = requestPath;
    bus_.connect(QString(), requestPath_, kRequest, QStringLiteral("Response"), this,
                 SLOT(onResponse(uint, QVariantMap)));
}

void PortalGlobalShortcut::stopListening() {
    if (requestPath_.isEmpty()) return;
    bus_.disconnect(QString(), requestPath_, kRequest, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap)));
    requestPath_.clear();
}

void PortalGlobalShortcut::onResponse(uint response, const QVariantMap& results) {
    stopListening();
    if (response != 0) {
        // 1: the user said no in the desktop's dialog; 2: the desktop ended it otherwise.
        fail(QStringLiteral("the desktop declined it (response %1)").arg(response));
        return;
    }
    if (step_ == Step::creatingSession) {
        session_ = pathText(results.value(QStringLiteral("session_handle")));
        bindShortcut();
    } else if (step_ == Step::binding) {
        step_ = Step::bound;
    }
}

void PortalGlobalShortcut::onActivated(const QDBusObjectPath& session, const QString& shortcut,
                                       qulonglong, const QVariantMap&) {
    if (step_ == Step::bound && session.path() == session_ && shortcut == kShortcutId) {
        Q_EMIT pressed();
    }
}

void PortalGlobalShortcut::close() {
    if (step_ == Step::closed) return;
    step_ = Step::closed;
    stopListening();
    bus_.disconnect(QString(), kPortalPath, kShortcuts, QStringLiteral("Activated"), this,
                    SLOT(onActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    if (!session_.isEmpty()) {
        // Sent without waiting for the answer: the portal closes it on its own when we leave.
        bus_.send(QDBusMessage::createMethodCall(kPortalService, session_,
                                                 QStringLiteral("org.freedesktop.portal.Session"),
                                                 QStringLiteral("Close")));
    }
}

void PortalGlobalShortcut::fail(const QString& reason) {
    close();
    Q_EMIT unavailable(reason);
}

}  // namespace nimbra::shell
