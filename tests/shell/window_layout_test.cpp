#include <QCoreApplication>
#include <QProcess>
#include <string>

#include "model/nat64_gateway.hpp"
#include "shell_window_fixture.hpp"

namespace nimbra::shell {
namespace {

// Every visible text fits its item unless it elides or wraps, nothing runs past the window, and
// no two visible items of a row, column or grid layout overlap: connected, with long exit
// figures, on each tab, in both languages and themes, at the default and the smallest size.
// The scale factor is read when the application starts, so each high-density factor is a child
// run of this same test.
class WindowLayoutTest : public ShellWindowTest {
protected:
    void showConnectedWithLongFigures() {
        auto snapshot = std::make_shared<ControllerSnapshot>(*model.snapshot());
        snapshot->phase = WarpPhase::connected;
        snapshot->runningMode = ConnectionMode::socks;
        snapshot->runningGateway = NAT64Gateway::usFremont;
        snapshot->exitIp = "2606:4700:110:8a36:df92:102a:9602:fa18";
        snapshot->exitWarp = "on";
        snapshot->exitProbes = {{rawValue(NAT64Gateway::direct), 1234},
                                {rawValue(NAT64Gateway::usFremont), 987}};
        snapshot->daemonExcludes = {"2001:db8:ffff:ffff:ffff:ffff:ffff:0/112", "203.0.113.0/24"};
        // The preset rules' rows say where their apps' traffic goes, in turn lit and muted.
        snapshot->appTraffic.clear();
        for (const AppPreset& preset : PlatformProfile::current().appRulePresets) {
            snapshot->appTraffic.push_back(
                {preset.identifier, snapshot->appTraffic.size() % 2 == 0});
        }
        snapshot->traffic = {987.6e6,
                             123.4e6,
                             9'876'543'210'987,
                             1'234'567'890'123,
                             std::vector<SpeedSample>(24, SpeedSample{"", 900e6, 120e6, {}}),
                             1'234'567,
                             true};
        model.applySnapshot(snapshot);
    }

    void check(QQuickItem* item, const std::string& where) {
        if (!item->isVisible()) return;
        const QRectF box = item->mapRectToScene(item->boundingRect());
        const std::string name = describe(item) + " on " + where;
        EXPECT_LE(box.right(), window->width() + 1)
            << name << " runs past the window " << box.right();
        if (item->inherits("QQuickText") && item->property("elide").toInt() == Qt::ElideNone) {
            EXPECT_LE(item->property("contentWidth").toReal(), item->width() + 1)
                << name << " is wider than its item";
            EXPECT_LE(item->property("contentHeight").toReal(), item->height() + 1)
                << name << " has lines below its item";
        }
        const QList<QQuickItem*> children = item->childItems();
        for (qsizetype i = 0; item->inherits("QQuickLayout") && i < children.size(); ++i) {
            for (qsizetype j = i + 1; j < children.size(); ++j) {
                const QRectF both = rectOf(children[i]).intersected(rectOf(children[j]));
                EXPECT_FALSE(both.width() > 1 && both.height() > 1)
                    << describe(children[i]) << " overlaps " << describe(children[j]) << " on "
                    << where;
            }
        }
        for (QQuickItem* child : children) check(child, where);
    }
    // scripts/screenshots keeps what this draws (per-app rows with where their traffic goes
    // now, which only a real-TUN connection shows otherwise) by naming a folder for it.
    static void keepPicture(const QImage& picture, const std::string& name) {
        const QString folder = qEnvironmentVariable("NIMBRA_LAYOUT_PICTURES");
        if (folder.isEmpty() || qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) return;
        picture.save(folder + "/layout-" + QString::fromStdString(name) + ".png");
    }
    static QRectF rectOf(QQuickItem* item) {
        return item->isVisible() ? QRectF(item->position(), item->size()) : QRectF();
    }
    static std::string describe(QQuickItem* item) {
        const QString text = item->property("text").toString();
        if (!item->objectName().isEmpty()) return item->objectName().toStdString();
        return text.isEmpty() ? item->metaObject()->className() : '"' + text.toStdString() + '"';
    }
};

TEST_F(WindowLayoutTest, NothingOverflowsOrOverlapsOnAnyTabLanguageThemeSizeOrScale) {
    appRulesModel.selectTab(QStringLiteral("configured"));  // the preset rules' rows
    for (const char* language : {"en", "zh"}) {
        for (const char* themeName : {"light", "dark"}) {
            windowModel.setLanguage(QString::fromUtf8(language));
            windowModel.setTheme(QString::fromUtf8(themeName));
            ASSERT_TRUE(waitUntil([&] {
                return windowModel.language() == language && windowModel.theme() == themeName;
            }));
            for (const QSize size : {QSize(800, 620), QSize(360, 480)}) {
                window->resize(size);
                ASSERT_TRUE(waitUntil([&] { return window->contentItem()->size() == size; }));
                for (const char* tab : {"overview", "exitNodes", "appRules", "advanced"}) {
                    window->setProperty("currentTab", QString::fromUtf8(tab));
                    showConnectedWithLongFigures();
                    const QImage picture = window->grabWindow();  // polishes the layouts
                    keepPicture(picture, std::string(tab) + "-" + themeName + "-" + language + "-" +
                                             std::to_string(size.width()));
                    check(window->contentItem(),
                          std::string(tab) + ", " + language + ", " + themeName + ", " +
                              std::to_string(size.width()) + "x" + std::to_string(size.height()) +
                              ", scale " +
                              QString::number(window->devicePixelRatio()).toStdString());
                }
            }
        }
    }
    if (qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) return;
    for (const char* scale : {"1.5", "2"}) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromUtf8(scale));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=WindowLayoutTest.*")});
        ASSERT_TRUE(child.waitForFinished(-1));
        EXPECT_EQ(child.exitCode(), 0) << "at scale " << scale << ":\n"
                                       << child.readAll().toStdString();
    }
}

}  // namespace
}  // namespace nimbra::shell
