#include "shell/app_icon.hpp"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

namespace nimbra::shell {
namespace {

// The icon comes from the SVG built into the program: a light cloud on a dark rounded tile.
TEST(ShellIcon, DrawsTheBuiltInCloudOnARoundedTile) {
    const QImage image = appIcon().pixmap(64, 64).toImage();
    ASSERT_GE(image.width(), 64) << "the built-in SVG did not render";
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
