#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QQuickWindow>
#include <memory>

#include "base/preference_store.hpp"
#include "l10n/l10n.hpp"
#include "model/preference_keys.hpp"
#include "presentation/tray_menu.hpp"
#include "shell/controller_model.hpp"
#include "shell/core_host.hpp"
#include "shell/main_window_lifecycle.hpp"
#include "shell/tray_host.hpp"
#include "status_notifier_watcher_standin.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::waitUntil;
using presentation::MenuItem;
using presentation::MenuItemKind;

// One entry as a tray host reads it from the item's com.canonical.dbusmenu layout.
struct ReadEntry {
    int id = 0;
    QString label;
    bool visible = true;
    bool separator = false;
    bool operator==(const ReadEntry&) const = default;
};

void PrintTo(const ReadEntry& entry, std::ostream* out) {
    *out << entry.id << " '" << entry.label.toStdString() << "'" << (entry.visible ? "" : " hidden")
         << (entry.separator ? " separator" : "");
}

// The label as a host shows it: "_" marks the accelerator's letter, "__" is an underscore.
QString withoutMnemonic(const QString& label) {
    QString shown;
    for (qsizetype at = 0; at < label.size(); ++at) {
        if (label[at] == QLatin1Char('_') && ++at == label.size()) break;
        shown += label[at];
    }
    return shown;
}

// The layout's nodes are (id, properties, children as variants of nodes), depth first.
void readNode(const QDBusArgument& node, std::vector<ReadEntry>& into, bool isRoot) {
    int id = 0;
    QVariantMap properties;
    node.beginStructure();
    node >> id >> properties;
    if (!isRoot) {
        into.push_back(
            {id, withoutMnemonic(properties.value(QStringLiteral("label")).toString()),
             properties.value(QStringLiteral("visible"), true).toBool(),
             properties.value(QStringLiteral("type")).toString() == QStringLiteral("separator")});
    }
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        readNode(child.variant().value<QDBusArgument>(), into, false);
    }
    node.endArray();
    node.endStructure();
}

// What the presentation list says a host must show, in the same depth-first order.
void expectedEntries(const std::vector<MenuItem>& items, std::vector<ReadEntry>& into) {
    for (const MenuItem& item : items) {
        into.push_back({0, QString::fromStdString(item.text), item.visible,
                        item.kind == MenuItemKind::separator});
        expectedEntries(item.children, into);
    }
}

class TrayOverDbus : public ::testing::Test {
protected:
    // Asks without blocking the GUI thread: the menu is served from it.
    QDBusMessage call(QDBusMessage message) {
        QDBusPendingCallWatcher pending(QDBusConnection::sessionBus().asyncCall(message));
        EXPECT_TRUE(waitUntil([&] { return pending.isFinished(); }));
        return pending.reply();
    }

    QDBusMessage menuCall(const QString& method, const QVariantList& arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(watcher->items().value(0), QStringLiteral("/MenuBar"),
                                           QStringLiteral("com.canonical.dbusmenu"), method);
        message.setArguments(arguments);
        return call(message);
    }

    std::vector<ReadEntry> layout() {
        const QDBusMessage reply = menuCall(QStringLiteral("GetLayout"), {0, -1, QStringList()});
        std::vector<ReadEntry> entries;
        if (reply.arguments().size() == 2) {
            readNode(reply.arguments()[1].value<QDBusArgument>(), entries, true);
        }
        return entries;
    }

    static std::vector<ReadEntry> withoutIds(std::vector<ReadEntry> entries) {
        for (ReadEntry& entry : entries) entry.id = 0;
        return entries;
    }

    std::vector<ReadEntry> expected(const ControllerSnapshot& snapshot, AppLanguage language) {
        std::vector<ReadEntry> entries;
        expectedEntries(presentation::trayMenu(snapshot, language, AppTheme::system), entries);
        return entries;
    }

    nimbra::testing::TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    CoreHost host{store};
    ControllerModel model{host.runtime(), host.controller(), store};
    QQuickWindow window;
    MainWindowLifecycle lifecycle{window};
    std::unique_ptr<nimbra::testing::StatusNotifierWatcherStandIn> watcher;
};

// The panel starts after Nimbra: the tray comes up when the watcher appears, and a host reads
// the menu the presentation list describes, in either language and as the phase moves; its
// entries and the icon act.
TEST_F(TrayOverDbus, AHostThatAppearsLaterReadsTheMenuOfThePresentationList) {
    TrayHost trayHost(model, store, lifecycle);
    ASSERT_FALSE(trayHost.hasTray());
    watcher = std::make_unique<nimbra::testing::StatusNotifierWatcherStandIn>();
    ASSERT_TRUE(waitUntil([&] { return !watcher->items().isEmpty(); }));

    auto snapshot = std::make_shared<ControllerSnapshot>();
    snapshot->exitIp = "203.0.113.9";
    snapshot->exitLoc = "SJC";
    model.applySnapshot(snapshot);
    EXPECT_EQ(withoutIds(layout()), expected(*snapshot, AppLanguage::english));

    auto connected = std::make_shared<ControllerSnapshot>(*snapshot);
    connected->phase = WarpPhase::connected;
    model.applySnapshot(connected);
    EXPECT_EQ(withoutIds(layout()), expected(*connected, AppLanguage::english));

    // Choosing 中文 in the host's menu (an Event on its entry) relabels the whole menu.
    const std::vector<ReadEntry> shown = layout();
    const auto chinese = std::find_if(shown.begin(), shown.end(), [](const ReadEntry& entry) {
        return entry.label == QStringLiteral("中文");
    });
    ASSERT_NE(chinese, shown.end());
    menuCall(QStringLiteral("Event"),
             {chinese->id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    ASSERT_TRUE(waitUntil([&] { return model.appLanguage() == AppLanguage::chinese; }));
    EXPECT_EQ(withoutIds(layout()), expected(*connected, AppLanguage::chinese));
    EXPECT_EQ(store.text(prefkey::uiLanguage), "zh");

    // The open menu shows the speeds, so it asks for them until the host closes it.
    menuCall(QStringLiteral("AboutToShow"), {0});
    EXPECT_TRUE(waitUntil([&] { return model.trafficWatched(); }));
    menuCall(QStringLiteral("Event"),
             {0, QStringLiteral("closed"), QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_TRUE(waitUntil([&] { return !model.trafficWatched(); }));

    // A click on the icon (the host's Activate) brings the hidden window up.
    QDBusMessage activate = QDBusMessage::createMethodCall(
        watcher->items().value(0), QStringLiteral("/StatusNotifierItem"),
        QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
    activate.setArguments({0, 0});
    call(activate);
    EXPECT_TRUE(waitUntil([&] { return window.isVisible(); }));

    // "Per-App Rules & Launch" brings the window up on the per-app tab.
    window.hide();
    const auto appRules = std::find_if(shown.begin(), shown.end(), [](const ReadEntry& entry) {
        return entry.label == QString::fromStdString(L10n::trayAppRules(AppLanguage::english));
    });
    ASSERT_NE(appRules, shown.end());
    menuCall(QStringLiteral("Event"),
             {appRules->id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_TRUE(waitUntil([&] { return window.isVisible(); }));
    EXPECT_EQ(window.property("requestedTab").toString(), QStringLiteral("appRules"));
}

}  // namespace
}  // namespace nimbra::shell
