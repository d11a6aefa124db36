#include "shell/app_icon.hpp"

#include <gtest/gtest.h>

#include <QColor>
#include <QFile>
#include <QImage>

#include "shell/launch.hpp"

namespace nimbra::shell {
namespace {

TEST(ShellIcon, TheSvgIsBuiltIntoTheProgram) {
    QFile svg(
        QString::fromUtf8(kIconResource.data(), static_cast<qsizetype>(kIconResource.size())));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    EXPECT_TRUE(svg.readAll().contains("<svg"));
}

TEST(ShellIcon, DrawsTheCloudOnARoundedTile) {
    const QIcon icon = appIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(64, 64).toImage();
    ASSERT_FALSE(image.isNull());
    ASSERT_GE(image.width(), 64);
    const double scale = image.width() / 256.0;
    auto at = [&](int x, int y) {
        return image.pixelColor(static_cast<int>(x * scale), static_cast<int>(y * scale));
    };
    EXPECT_EQ(at(1, 1).alpha(), 0) << "the tile's rounded corner is transparent";
    EXPECT_GT(at(140, 150).lightness(), 200) << "the cloud is light";
    EXPECT_LT(at(128, 30).lightness(), 100) << "the tile is dark";
}

}  // namespace
}  // namespace nimbra::shell
