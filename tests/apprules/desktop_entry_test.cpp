// Reading one desktop entry: what the format's reader accepts, which Name a locale picks, and
// which files are refused before anything in them is parsed.

#include "apprules/desktop_entry.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include "support/file_text.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

using namespace std::string_literals;

constexpr const char* kNames =
    "[Desktop Entry]\nType=Application\nExec=files\nName=Files\nName[zh]=文件夹\n"
    "Name[zh_CN]=文件\n";

TEST(DesktopEntry, ReadsTheFormatAndRefusesWhatIsNotAnEntry) {
    struct Case {
        const char* what;
        std::string content;
        std::string locale;
        std::optional<std::string> name;
        std::string exec = {};
    };
    const std::string huge = std::string(kNames) + std::string(1 << 20, '#') + "\n";
    const Case cases[] = {
        {"escapes", "[Desktop Entry]\nName=A\\sB\nExec=run \\\\x\\ny\\s%U\n", "", "A B",
         "run \\x\ny %U"},
        {"exact locale", kNames, "zh_CN", "文件", "files"},
        {"language only", "[Desktop Entry]\nName=Files\nName[zh]=文件夹\n", "zh_CN", "文件夹"},
        {"untranslated", "[Desktop Entry]\nName=Files\nName[de]=Dateien\n", "zh_CN", "Files"},
        {"no locale", kNames, "", "Files", "files"},
        {"malformed line", "[Desktop Entry]\nName=Files\nthis line has no key\n", "", {}},
        {"other group only", "[Desktop Action new]\nName=Files\n", "", {}},
        {"no name", "[Desktop Entry]\nExec=files\n", "", {}},
        {"binary", "[Desktop Entry]\nName=\xff\xfe\0\x01"s, "", {}},
        {"over the size bound", huge, "", {}},
    };
    testing::TempDir dir;
    for (const Case& c : cases) {
        const auto path = dir / (std::string(c.what) + ".desktop");
        testing::writeFile(path, c.content);
        const auto entry = readDesktopEntry(path.string(), "x.desktop", c.locale);
        EXPECT_EQ(entry ? std::optional(entry->name) : std::nullopt, c.name) << c.what;
        if (entry && c.name) {
            EXPECT_EQ(entry->exec, c.exec) << c.what;
        }
    }
    // A FIFO posing as an entry would block an ordinary open until someone writes to it.
    const auto fifo = dir / "fifo.desktop";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(readDesktopEntry(fifo.string(), "fifo.desktop", ""), std::nullopt);
}

}  // namespace
}  // namespace nimbra::apprules
