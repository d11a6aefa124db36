#include <gtest/gtest.h>
#include <xcb/xcb_keysyms.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QProcess>
#include <csignal>
#include <cstdlib>
#include <memory>

#include "nimbra_process.hpp"
#include "shell/portal_global_shortcut.hpp"
#include "shell/x11_hot_key_grab.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::NimbraProcess;
using nimbra::testing::TempDir;
using nimbra::testing::waitUntil;

const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kUnavailable = QStringLiteral("Nimbra: global shortcut Alt+M unavailable: ");

// `nimbra` on this test's X server (or none) and session bus.
NimbraProcess::Setup on(const QString& platform) {
    return {.platform = platform, .bus = std::nullopt};
}

void press(const QStringList& keys) {
    ASSERT_EQ(QProcess::execute("xdotool", QStringList{"key"} + keys), 0) << "xdotool failed";
}

// A toggle hides only the window the user works in: wait until the shown window has the focus.
bool nimbraHasFocus() {
    QProcess xdotool;
    xdotool.start("xdotool", {"getwindowfocus", "getwindowname"});
    return xdotool.waitForFinished() && xdotool.readAllStandardOutput().trimmed() == "Nimbra";
}

TEST(GlobalHotKey, AltMIsTheKeyWithAltAloneWhateverTheLocksAndButtons) {
    constexpr xcb_keycode_t m = 58;
    const struct {
        xcb_keycode_t key;
        uint16_t state;
        bool ours;
    } rows[] = {
        // Alt+M alone and under Num Lock and Caps Lock: the next test presses them for real.
        {m, XCB_MOD_MASK_1 | uint16_t{XCB_KEY_BUT_MASK_BUTTON_1}, true},
        {m, XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT, false},
        {m, XCB_MOD_MASK_1 | XCB_MOD_MASK_CONTROL, false},
        {m, XCB_MOD_MASK_2, false},
        {static_cast<xcb_keycode_t>(m + 1), XCB_MOD_MASK_1, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isAltM(row.key, row.state, m), row.ours) << int(row.key) << " " << row.state;
    }
}

// Each press toggles, with Num Lock and Caps Lock in any state (the locks end as they began).
TEST(GlobalHotKey, AltMTogglesTheWindowOfTheRunningNimbra) {
    TempDir dir;
    NimbraProcess nimbra(dir, "first", {}, on("xcb"));
    ASSERT_TRUE(waitUntil([&] {
        return nimbra.windowLog() == QStringList{"built", "shown"};
    })) << nimbra.log.toStdString();
    const QStringList steps[] = {{"alt+m"},
                                 {"Num_Lock", "alt+m"},
                                 {"Caps_Lock", "alt+m"},
                                 {"Num_Lock", "Caps_Lock", "alt+m"}};
    QStringList expected{"built", "shown"};
    for (const QStringList& keys : steps) {
        if (expected.last() == "shown") {
            ASSERT_TRUE(waitUntil(nimbraHasFocus));
        }
        press(keys);
        expected << (expected.last() == "shown" ? "hidden" : "shown");
        ASSERT_TRUE(waitUntil([&] { return nimbra.windowLog() == expected; }))
            << keys.join(' ').toStdString() << "\n"
            << nimbra.log.toStdString();
    }
    EXPECT_FALSE(nimbra.log.contains(kUnavailable));
}

// Another X client holds Alt+M; a platform without X has no portal on its bus. Either way one
// line says why, and the hidden window still comes up by `nimbra --toggle`.
TEST(GlobalHotKey, WithoutTheShortcutOneLineSaysWhyAndNimbraGoesOn) {
    xcb_connection_t* other = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(other), 0);
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(other);
    xcb_keycode_t* m = xcb_key_symbols_get_keycode(symbols, 0x006d);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    ASSERT_EQ(
        xcb_request_check(other, xcb_grab_key_checked(other, 0, root, XCB_MOD_MASK_1, m[0],
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)),
        nullptr);
    std::free(m);
    xcb_key_symbols_free(symbols);

    const struct {
        QString platform;
        QString reason;
    } rows[] = {{"xcb", "another X client has already grabbed it"},
                {"offscreen", "no desktop portal on the session bus"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.platform.toStdString());
        TempDir dir;
        NimbraProcess first(dir, "first", {"--hidden"}, on(row.platform));
        ASSERT_TRUE(waitUntil([&] {
            return first.stderrLines().contains(kUnavailable + row.reason);
        })) << first.log.toStdString();
        NimbraProcess later(dir, "later", {"--toggle"}, on(row.platform));
        ASSERT_TRUE(later.process.waitForFinished(60'000));
        ASSERT_TRUE(waitUntil([&] {
            return first.windowLog() == QStringList{"built", "shown"};
        })) << first.log.toStdString();
        EXPECT_EQ(first.log.count(kUnavailable), 1) << first.log.toStdString();
    }
    xcb_disconnect(other);
}

// org.freedesktop.portal.Desktop on the session bus, as KDE's portal offers it or (without
// GlobalShortcuts) as GNOME 43's does. Requests are answered by their Response signal; every call
// is recorded as "<interface's last part>.<method>".
class PortalStandIn : public QDBusVirtualObject {
public:
    explicit PortalStandIn(bool offersShortcuts)
        : offersShortcuts_(offersShortcuts),
          bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "portal-standin")) {
        bus_.registerVirtualObject(kPortalPath, this, QDBusConnection::SubPath);
        bus_.registerService("org.freedesktop.portal.Desktop");
    }
    ~PortalStandIn() override {
        bus_.unregisterService("org.freedesktop.portal.Desktop");
        bus_.unregisterObject(kPortalPath);
        QDBusConnection::disconnectFromBus("portal-standin");
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& call, const QDBusConnection&) override {
        calls << call.interface().section('.', -1) + '.' + call.member();
        const bool shortcutsCall = call.interface() == "org.freedesktop.portal.GlobalShortcuts";
        if (shortcutsCall && !offersShortcuts_) {
            bus_.send(call.createErrorReply(QDBusError::UnknownInterface, "No such interface"));
        } else if (shortcutsCall) {
            answer(call);
        } else {
            bus_.send(call.createReply());
        }
        return true;
    }

    void activate(const QString& shortcut) {
        QDBusMessage activated = QDBusMessage::createSignal(
            kPortalPath, "org.freedesktop.portal.GlobalShortcuts", "Activated");
        activated << QVariant::fromValue(QDBusObjectPath(session)) << shortcut << qulonglong(0)
                  << QVariantMap();
        bus_.send(activated);
    }

    QStringList calls;
    QString session;
    // The bound shortcut as "<id>: <description> (<preferred trigger>)".
    QString bound;

private:
    void answer(const QDBusMessage& call) {
        const QVariantMap options = qdbus_cast<QVariantMap>(call.arguments().last());
        QString sender = call.service().mid(1).replace('.', '_');
        const QString request =
            kPortalPath + "/request/" + sender + '/' + options.value("handle_token").toString();
        bus_.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QVariantMap results;
        if (call.member() == "CreateSession") {
            session = kPortalPath + "/session/" + sender + '/' +
                      options.value("session_handle_token").toString();
            results["session_handle"] = session;
        } else {
            readBound(call.arguments().value(1).value<QDBusArgument>());
        }
        QDBusMessage response =
            QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response");
        response << 0u << results;
        bus_.send(response);
    }

    void readBound(const QDBusArgument& shortcuts) {
        shortcuts.beginArray();
        while (!shortcuts.atEnd()) {
            QString id;
            QVariantMap properties;
            shortcuts.beginStructure();
            shortcuts >> id >> properties;
            shortcuts.endStructure();
            bound += id + ": " + properties.value("description").toString() + " (" +
                     properties.value("preferred_trigger").toString() + ")";
        }
        shortcuts.endArray();
    }

    bool offersShortcuts_;
    QDBusConnection bus_;
};

TEST(PortalGlobalShortcut, BindsOneShortcutAndItsActivationPresses) {
    PortalStandIn portal(true);
    int presses = 0;
    std::optional<QString> reason;
    {
        PortalGlobalShortcut shortcut(QDBusConnection::sessionBus());
        QObject::connect(&shortcut, &PortalGlobalShortcut::pressed, [&] { ++presses; });
        QObject::connect(&shortcut, &PortalGlobalShortcut::unavailable,
                         [&](const QString& why) { reason = why; });
        shortcut.start();
        ASSERT_TRUE(waitUntil([&] { return !portal.bound.isEmpty(); }))
            << portal.calls.join(' ').toStdString();
        EXPECT_EQ(portal.bound, "toggle-window: Show or hide the Nimbra window (ALT+m)");
        // Only this session's toggle-window is ours; signals arrive in order.
        portal.activate("something-else");
        portal.activate("toggle-window");
        ASSERT_TRUE(waitUntil([&] { return presses > 0; }));
        EXPECT_EQ(presses, 1);
    }
    ASSERT_TRUE(waitUntil([&] { return portal.calls.size() == 4; }));
    EXPECT_EQ(portal.calls, QStringList({"Registry.Register", "GlobalShortcuts.CreateSession",
                                         "GlobalShortcuts.BindShortcuts", "Session.Close"}));
    EXPECT_FALSE(reason) << reason->toStdString();
}

TEST(PortalGlobalShortcut, APortalWithoutGlobalShortcutsSaysSo) {
    PortalStandIn portal(false);
    PortalGlobalShortcut shortcut(QDBusConnection::sessionBus());
    QString reason;
    QObject::connect(&shortcut, &PortalGlobalShortcut::unavailable,
                     [&](const QString& why) { reason = why; });
    shortcut.start();
    ASSERT_TRUE(waitUntil([&] { return !reason.isEmpty(); }));
    EXPECT_EQ(reason, "the desktop portal offers no GlobalShortcuts");
}

}  // namespace
}  // namespace nimbra::shell
