#include "shell/desktop_color_scheme_watch.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPalette>
#include <QProcess>
#include <utility>

namespace nimbra::shell {
namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearance = QStringLiteral("org.freedesktop.appearance");
const QString kColorScheme = QStringLiteral("color-scheme");

// Read() wraps the value in one more variant than SettingChanged does; unwrap every layer.
std::optional<uint32_t> portalValue(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    bool ok = false;
    const uint number = value.toUInt(&ok);
    if (!ok) return std::nullopt;
    return number;
}

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

}  // namespace

DesktopColorSchemeWatch::DesktopColorSchemeWatch(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

void DesktopColorSchemeWatch::start() {
    if (!bus_.isConnected()) {
        askGnome();
        return;
    }
    bus_.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"),
                 this, SLOT(onSettingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(kPortalService, kPortalPath,
                                                       kSettingsInterface, QStringLiteral("Read"));
    read << kAppearance << kColorScheme;
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(read), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &DesktopColorSchemeWatch::onPortalRead);
}

void DesktopColorSchemeWatch::onPortalRead(QDBusPendingCallWatcher* call) {
    call->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *call;
    const std::optional<uint32_t> value =
        reply.isError() ? std::nullopt : portalValue(reply.argumentAt(0));
    if (!value) {
        // No portal, or one that does not know the setting: ask the desktop itself.
        askGnome();
        return;
    }
    portalAnswered_ = true;
    set(desktopSchemeFromPortal(*value));
}

void DesktopColorSchemeWatch::onSettingChanged(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() != 3 || arguments[0].toString() != kAppearance ||
        arguments[1].toString() != kColorScheme) {
        return;
    }
    const std::optional<uint32_t> number = portalValue(arguments[2]);
    if (!number) return;
    portalAnswered_ = true;
    set(desktopSchemeFromPortal(*number));
}

void DesktopColorSchemeWatch::askGnome() {
    runTool(QStringLiteral("gsettings"),
            {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"), kColorScheme},
            [this](std::optional<QString> printed) {
                if (portalAnswered_) return;
                const DesktopScheme scheme =
                    printed ? desktopSchemeFromGnome(utf8(*printed)) : DesktopScheme::unknown;
                if (scheme == DesktopScheme::unknown) return askKde();
                set(scheme);
            });
}

void DesktopColorSchemeWatch::askKde() {
    runTool(QStringLiteral("kreadconfig5"),
            {QStringLiteral("--file"), QStringLiteral("kdeglobals"), QStringLiteral("--group"),
             QStringLiteral("General"), QStringLiteral("--key"), QStringLiteral("ColorScheme")},
            [this](std::optional<QString> name) {
                if (portalAnswered_) return;
                const DesktopScheme scheme =
                    name ? desktopSchemeFromKde(utf8(*name)) : DesktopScheme::unknown;
                if (scheme == DesktopScheme::unknown) return usePalette();
                set(scheme);
            });
}

void DesktopColorSchemeWatch::usePalette() {
    const QColor window = QGuiApplication::palette().color(QPalette::Window);
    set(desktopSchemeFromWindowLightness(window.lightness()));
}

void DesktopColorSchemeWatch::runTool(const QString& program, const QStringList& arguments,
                                      std::function<void(std::optional<QString>)> done) {
    auto* process = new QProcess(this);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    auto finish = [process, done = std::move(done)](std::optional<QString> output) {
        process->disconnect();
        process->deleteLater();
        done(std::move(output));
    };
    connect(process, &QProcess::finished, this,
            [process, finish](int exitCode, QProcess::ExitStatus status) {
                if (status != QProcess::NormalExit || exitCode != 0) return finish(std::nullopt);
                finish(QString::fromUtf8(process->readAllStandardOutput()).trimmed());
            });
    connect(process, &QProcess::errorOccurred, this, [finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) finish(std::nullopt);
    });
    process->start(program, arguments);
}

void DesktopColorSchemeWatch::set(DesktopScheme scheme) {
    if (scheme == scheme_) return;
    scheme_ = scheme;
    Q_EMIT schemeChanged();
}

}  // namespace nimbra::shell
