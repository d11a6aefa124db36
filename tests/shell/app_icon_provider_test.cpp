// Application icons as QML receives them from image://appicon/: found in a theme under a
// temporary XDG_DATA_DIRS, taken from an absolute path, or replaced by a generic icon.

#include "shell/app_icon_provider.hpp"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QImageReader>
#include <QQmlEngine>
#include <QQuickTextureFactory>
#include <QSignalSpy>
#include <QUrl>
#include <memory>

#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using nimbra::testing::writeFile;

void writePng(const std::filesystem::path& file, QColor colour) {
    std::filesystem::create_directories(file.parent_path());
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(colour);
    ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "PNG"));
}

// What QML would get for image://appicon/<encoded icon> with sourceSize `pixels`.
QImage requestIcon(QQuickAsyncImageProvider& provider, const std::string& icon, int pixels) {
    const QString id = QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(icon)));
    std::unique_ptr<QQuickImageResponse> response(
        provider.requestImageResponse(id, QSize(pixels, pixels)));
    QSignalSpy finished(response.get(), &QQuickImageResponse::finished);
    EXPECT_TRUE(finished.wait(60000)) << icon;
    const std::unique_ptr<QQuickTextureFactory> texture(response->textureFactory());
    return texture->image();
}

TEST(AppIconProvider, ServesThemeIconsAbsolutePathsAndFallbacks) {
    TempDir dir;
    const ScopedEnv dataDirs("XDG_DATA_DIRS", (dir / "share").string());
    const ScopedEnv dataHome("XDG_DATA_HOME", (dir / "data-home").string());
    const ScopedEnv home("HOME", (dir / "home").string());
    writeFile(dir / "share/icons/hicolor/index.theme",
              "[Icon Theme]\nName=Hicolor\nDirectories=32x32/apps\n[32x32/apps]\nSize=32\n");
    writePng(dir / "share/icons/hicolor/32x32/apps/fixture-app.png", Qt::green);
    writePng(dir / "my icons/own.png", Qt::blue);

    // Registered as the desktop client registers it, reading the environment above.
    QQmlEngine engine;
    installAppIconProvider(engine);
    auto* provider =
        dynamic_cast<QQuickAsyncImageProvider*>(engine.imageProvider(kAppIconProviderId));
    ASSERT_NE(provider, nullptr);

    const QImage themed = requestIcon(*provider, "fixture-app", 64);
    EXPECT_EQ(themed.size(), QSize(64, 64)) << "scaled to the size asked for";
    EXPECT_EQ(themed.pixelColor(32, 32), QColor(Qt::green));
    EXPECT_EQ(requestIcon(*provider, (dir / "my icons/own.png").string(), 32).pixelColor(5, 5),
              QColor(Qt::blue));

    // No generic icon in these folders: Nimbra's own is drawn.
    QImageReader ownGeneric(QString::fromUtf8(kGenericAppIconResource));
    ownGeneric.setScaledSize(QSize(48, 48));
    EXPECT_EQ(requestIcon(*provider, "no-such-app", 48), ownGeneric.read());
    // With the desktop's generic icon present, that one.
    writePng(dir / "share/icons/hicolor/32x32/apps/application-x-executable.png", Qt::yellow);
    EXPECT_EQ(requestIcon(*provider, "another-missing-app", 32).pixelColor(5, 5),
              QColor(Qt::yellow));
}

TEST(AppIconCache, KeepsTheMostRecentlyUsed256) {
    AppIconCache cache;
    const QImage image(1, 1, QImage::Format_ARGB32);
    cache.insert(QStringLiteral("first"), QSize(32, 32), image);
    for (int i = 0; i < 300; ++i) {
        cache.insert(QString::number(i), QSize(32, 32), image);
        cache.find(QStringLiteral("first"), QSize(32, 32));  // kept in use
    }
    EXPECT_EQ(cache.count(), AppIconCache::kCapacity);
    EXPECT_FALSE(cache.find(QStringLiteral("first"), QSize(32, 32)).isNull());
    EXPECT_TRUE(cache.find(QStringLiteral("0"), QSize(32, 32)).isNull()) << "oldest dropped";
    EXPECT_FALSE(cache.find(QStringLiteral("299"), QSize(32, 32)).isNull());
    EXPECT_TRUE(cache.find(QStringLiteral("299"), QSize(16, 16)).isNull()) << "size is in the key";
}

}  // namespace
}  // namespace nimbra::shell
