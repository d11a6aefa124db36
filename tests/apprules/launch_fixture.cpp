#include "launch_fixture.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "support/file_text.hpp"

namespace nimbra::apprules {
namespace {

std::string withOurPath(const std::filesystem::path& bin) {
    const char* old = std::getenv("PATH");
    return bin.string() + ":" + (old ? old : "/usr/bin:/bin");
}

// Absolute tool paths: a test may leave nothing but bin/ on PATH.
constexpr const char* kRecorder = R"SH(#!/bin/sh
r=@RECORD@
in=$(/usr/bin/readlink /proc/$$/fd/0)
out=$(/usr/bin/readlink /proc/$$/fd/1)
err=$(/usr/bin/readlink /proc/$$/fd/2)
fds=$(/usr/bin/ls -l /proc/$$/fd | /usr/bin/tr '\n' ' ')
{
  printf 'program=%s\n' "${0##*/}"
  for a in "$@"; do printf 'arg=%s\n' "$a"; done
  printf 'cwd=%s\npid=%s\nparent=%s\nsession=%s\n' "$(pwd)" $$ "$PPID" "$(/usr/bin/cut -d' ' -f6 /proc/$$/stat)"
  printf 'stdio=%s %s %s\nfds=%s\n' "$in" "$out" "$err" "$fds"
  /usr/bin/env | /usr/bin/sed 's/^/env=/'
} > "$r.part"
/usr/bin/mv "$r.part" "$r"
)SH";

}  // namespace

LaunchFixture::LaunchFixture()
    : path_("PATH", withOurPath(dir_ / "bin")),
      runtime_("XDG_RUNTIME_DIR", (dir_ / "run").string()),
      allProxy_("ALL_PROXY", std::nullopt) {
    std::filesystem::create_directories(dir_ / "bin");
    std::filesystem::create_directories(dir_ / "run");
    ::chmod((dir_ / "run").c_str(), 0700);
}

std::filesystem::path LaunchFixture::addStandIn(const std::string& name) {
    std::string script = kRecorder;
    script.replace(script.find("@RECORD@"), 8, (dir_ / "record").string());
    const auto path = dir_ / "bin" / name;
    testing::writeFile(path, script);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

AppRuleItem LaunchFixture::addEntry(const std::string& id, const std::string& name,
                                    const std::string& lines) {
    const auto path = dir_ / "apps" / (id + ".desktop");
    testing::writeFile(path, "[Desktop Entry]\nType=Application\nName=" + name + "\n" + lines);
    AppRuleItem item;
    item.name = name;
    item.bundleId = id;
    item.appPath = path.string();
    return item;
}

std::optional<StartRecord> LaunchFixture::takeRecord() {
    const auto path = dir_ / "record";
    // The stand-in was started before launch() returned; it only has to finish writing.
    for (int tries = 0; !std::filesystem::exists(path) && tries < 3000; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!std::filesystem::exists(path)) return std::nullopt;
    std::istringstream lines(testing::readFile(path));
    std::filesystem::remove(path);
    StartRecord record;
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "program") record.program = value;
        if (key == "arg") record.args.push_back(value);
        if (key == "cwd") record.cwd = value;
        if (key == "stdio") record.stdio = value;
        if (key == "fds") record.fds = value;
        if (key == "pid") record.pid = std::stol(value);
        if (key == "parent") record.parent = std::stol(value);
        if (key == "session") record.session = std::stol(value);
        if (key == "env") {
            const auto inner = value.find('=');
            record.env[value.substr(0, inner)] = value.substr(inner + 1);
        }
    }
    return record;
}

}  // namespace nimbra::apprules
