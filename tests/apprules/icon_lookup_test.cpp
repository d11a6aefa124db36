// Finding an application's icon file in icon themes laid out in temporary folders: which size,
// format and theme win, and which values find nothing.

#include "apprules/icon_lookup.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/file_text.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

using nimbra::testing::TempDir;
using nimbra::testing::writeFile;

// Custom inherits Parent, which inherits Custom back; neither names hicolor.
constexpr const char* kCustomIndex =
    "[Icon Theme]\nName=Custom\nInherits=Parent\n"
    "Directories=16x16/apps,48x48/apps,scalable/apps\n"
    "[16x16/apps]\nSize=16\nType=Fixed\n[48x48/apps]\nSize=48\nType=Fixed\n"
    "[scalable/apps]\nSize=64\nType=Scalable\nMinSize=56\nMaxSize=256\n";
constexpr const char* kParentIndex =
    "[Icon Theme]\nName=Parent\nInherits=Custom\nDirectories=32x32/apps\n[32x32/apps]\nSize=32\n";
constexpr const char* kHicolorIndex =
    "[Icon Theme]\nName=Hicolor\nDirectories=32x32/apps\n[32x32/apps]\nSize=32\nType=Fixed\n";

TEST(IconLookup, PicksSizeFormatAndThemeAsTheIconThemeRulesSay) {
    TempDir dir;
    const auto user = dir / "data-home/icons";  // first root: the user's
    const auto system = dir / "share/icons";    // second root: the system's
    writeFile(user / "Custom/index.theme", kCustomIndex);
    writeFile(user / "Parent/index.theme", kParentIndex);
    writeFile(system / "hicolor/index.theme", kHicolorIndex);
    // A FIFO named index.theme: opening it to read would wait for a writer forever.
    std::filesystem::create_directories(user / "Fifo");
    ASSERT_EQ(::mkfifo((user / "Fifo/index.theme").c_str(), 0600), 0);
    for (const char* file : {"Custom/16x16/apps/sized.png", "Custom/48x48/apps/vector.png",
                             "Custom/scalable/apps/vector.svg", "Custom/16x16/apps/both.xpm",
                             "Custom/16x16/apps/both.svg", "Custom/16x16/apps/both.png",
                             "Parent/32x32/apps/inherited.png"}) {
        writeFile(user / file, "");
    }
    writeFile(system / "Custom/48x48/apps/sized.png", "");  // the theme spans both roots
    writeFile(system / "hicolor/32x32/apps/hicolor-only.png", "");
    writeFile(dir / "pixmaps/legacy.xpm", "");
    writeFile(dir / "own icon.png", "");
    const IconSearchPaths paths{{user, system}, {dir / "pixmaps"}};

    struct Case {
        const char* what;
        std::string icon;
        int pixels;
        const char* theme;
        std::string found;  // "" when nothing is
    };
    const Case cases[] = {
        {"closest size, from the second root", "sized", 40, "Custom",
         system / "Custom/48x48/apps/sized.png"},
        {"closest size, smaller", "sized", 20, "Custom", user / "Custom/16x16/apps/sized.png"},
        {"a scalable folder matches inside its range", "vector", 128, "Custom",
         user / "Custom/scalable/apps/vector.svg"},
        {"an exact size beats the scalable one", "vector", 48, "Custom",
         user / "Custom/48x48/apps/vector.png"},
        {"png before svg before xpm", "both", 16, "Custom", user / "Custom/16x16/apps/both.png"},
        {"the extension in the value is tolerated", "both.svg", 16, "Custom",
         user / "Custom/16x16/apps/both.png"},
        {"found in the inherited theme", "inherited", 32, "Custom",
         user / "Parent/32x32/apps/inherited.png"},
        {"hicolor when no theme in the chain has it", "hicolor-only", 16, "Custom",
         system / "hicolor/32x32/apps/hicolor-only.png"},
        {"hicolor when the theme's index is a FIFO", "hicolor-only", 32, "Fifo",
         system / "hicolor/32x32/apps/hicolor-only.png"},
        {"hicolor when no theme is named", "hicolor-only", 32, "",
         system / "hicolor/32x32/apps/hicolor-only.png"},
        {"the pixmap folder last", "legacy", 32, "Custom", dir / "pixmaps/legacy.xpm"},
        {"an absolute path as it is", dir / "own icon.png", 32, "Custom", dir / "own icon.png"},
        {"an absolute path to a folder", dir / "pixmaps", 32, "Custom", ""},
        {"an absolute path to nothing", dir / "missing.png", 32, "Custom", ""},
        {"missing everywhere, through the inheritance loop", "missing", 32, "Custom", ""},
        {"a relative path climbing out", "../pixmaps/legacy", 32, "Custom", ""},
        {"an empty value", "", 32, "Custom", ""},
    };
    for (const Case& c : cases) {
        const auto found = findIconFile(c.icon, c.pixels, c.theme, paths);
        EXPECT_EQ(found.value_or("").string(), c.found) << c.what;
    }
}

}  // namespace
}  // namespace nimbra::apprules
