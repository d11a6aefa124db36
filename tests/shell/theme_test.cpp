#include "shell/theme.hpp"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>

#include "base/preference_store.hpp"
#include "model/preference_keys.hpp"
#include "shell/desktop_color_scheme_watch.hpp"
#include "support/private_dbus_session.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::PrivateDbusSession;
using nimbra::testing::TempDir;
using nimbra::testing::waitUntil;

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettings = QStringLiteral("org.freedesktop.portal.Settings");

// The desktop portal's settings as a desktop offers them: Read answers the current colour scheme
// (wrapped twice, as the real portal does) and a change goes out as SettingChanged.
class StandInPortal final : public QDBusVirtualObject {
public:
    StandInPortal(QDBusConnection bus, uint scheme) : bus_(std::move(bus)), scheme_(scheme) {}

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != kSettings || message.member() != QStringLiteral("Read")) {
            return false;
        }
        const QVariant inner = QVariant::fromValue(QDBusVariant(scheme_));
        return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(inner))));
    }
    QString introspect(const QString&) const override { return {}; }

    void change(uint scheme) {
        scheme_ = scheme;
        QDBusMessage signal =
            QDBusMessage::createSignal(kPath, kSettings, QStringLiteral("SettingChanged"));
        signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
               << QVariant::fromValue(QDBusVariant(scheme));
        bus_.send(signal);
    }

private:
    QDBusConnection bus_;
    uint scheme_;
};

TEST(ThemeTest, SystemThemeFollowsThePortalLiveAndAForcedThemeWins) {
    TempDir dir;
    PrivateDbusSession session(dir / "dbus");
    const QString address = QString::fromStdString(session.address());
    QDBusConnection portalBus = QDBusConnection::connectToBus(address, QStringLiteral("portal"));
    StandInPortal portal(portalBus, 1);
    ASSERT_TRUE(portalBus.registerVirtualObject(kPath, &portal));
    ASSERT_TRUE(portalBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));

    PreferenceStore store(dir / "preferences.json");
    DesktopColorSchemeWatch desktop(
        QDBusConnection::connectToBus(address, QStringLiteral("client")));
    desktop.start();
    Theme theme(store, desktop, {QStringLiteral("Inter"), QStringLiteral("JetBrains Mono")});

    EXPECT_TRUE(waitUntil([&] { return theme.dark(); }));
    EXPECT_LT(theme.windowBg().lightness(), 40);
    portal.change(2);
    EXPECT_TRUE(waitUntil([&] { return !theme.dark(); }));
    EXPECT_GT(theme.windowBg().lightness(), 220);
    store.setText(prefkey::uiTheme, "dark");
    EXPECT_TRUE(waitUntil([&] { return theme.dark(); }));

    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
}

}  // namespace
}  // namespace nimbra::shell
