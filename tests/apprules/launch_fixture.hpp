#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/app_rule_item.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {

// What a stand-in program saw when it was started: written by a shell script the fixture puts
// on PATH under any name, read back once it is complete.
struct StartRecord {
    std::string program;  // the name it was started as
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string cwd;
    std::string stdio;  // targets of descriptors 0, 1, 2
    std::string fds;    // `ls -l` of its descriptor folder
    long pid = 0;
    long parent = 0;
    long session = 0;
};

// A temporary world for launches: bin/ first on PATH, a private runtime folder, desktop entries
// written on demand.
class LaunchFixture {
public:
    LaunchFixture();

    const std::filesystem::path& root() const { return dir_.path(); }
    // Writes the recording stand-in as bin/<name>; returns its path.
    std::filesystem::path addStandIn(const std::string& name);
    // Writes apps/<id>.desktop with the given [Desktop Entry] lines after Type and Name.
    AppRuleItem addEntry(const std::string& id, const std::string& name, const std::string& lines);
    // The record of the next start, waited for as long as the scenario needs.
    std::optional<StartRecord> takeRecord();

private:
    testing::TempDir dir_;
    testing::ScopedEnv path_;
    testing::ScopedEnv runtime_;
    testing::ScopedEnv allProxy_;
};

}  // namespace nimbra::apprules
