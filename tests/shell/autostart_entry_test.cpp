#include "shell/autostart_entry.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/subprocess.hpp"
#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::shell {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::readFile;
using nimbra::testing::writeFile;

// The entry as a desktop reads it: GLib's own launcher runs it, and a program at a path full of
// the characters Exec quoting must protect records the arguments it got. Switching it off removes
// it, and a copy the user switched off in their desktop's settings (Hidden=true) reads as off.
TEST(AutostartEntry, ADesktopStartsThisProgramHiddenFromItAndOffMeansOff) {
    nimbra::testing::TempDir dir;
    nimbra::testing::ScopedEnv config("XDG_CONFIG_HOME", (dir / "config").string());
    const fs::path program = dir / "odd \"dir\" $HOME `x` back\\slash" / "nimbra";
    const fs::path record = dir / "arguments";
    writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + record.string() + "'\n");
    ::chmod(program.c_str(), 0755);
    const AutostartEntry entry(program);
    EXPECT_FALSE(entry.enabled());

    entry.setEnabled(true);
    ASSERT_TRUE(entry.enabled());
    EXPECT_EQ(entry.path(), dir / "config" / "autostart" / "io.github.nimbra.Nimbra.desktop");
    Subprocess::Options launch;
    launch.argv = {"gio", "launch", entry.path().string()};
    const auto launched = Subprocess::run(launch, std::chrono::seconds(30));
    ASSERT_TRUE(launched.status.succeeded()) << launched.err;
    for (int tries = 0; tries < 3000 && !fs::exists(record); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(readFile(record), program.string() + "\n--hidden\n");

    writeFile(entry.path(), readFile(entry.path()) + "Hidden=true\n");
    EXPECT_FALSE(entry.enabled());
    entry.setEnabled(false);
    EXPECT_FALSE(fs::exists(entry.path()));
    ::mkfifo(entry.path().c_str(), 0600);  // read on the GUI thread: a FIFO there must not hang it
    EXPECT_FALSE(entry.enabled());
}

}  // namespace
}  // namespace nimbra::shell
