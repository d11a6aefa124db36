#include "base/atomic_file.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::vector<std::string> namesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(AtomicFile, ReplacesExistingContentCompletely) {
    TempDir dir;
    const fs::path file = dir / "settings.json";
    writeFileAtomically(file, "a much longer first version of the file");
    writeFileAtomically(file, "short");
    EXPECT_EQ(readFile(file), "short");

    writeFileAtomically(file, "");
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST(AtomicFile, KeepsBinaryContentByteForByte) {
    TempDir dir;
    const std::string contents("nul\0bytes\r\n\xFF", 13);
    writeFileAtomically(dir / "blob", contents);
    EXPECT_EQ(readFile(dir / "blob"), contents);
}

TEST(AtomicFile, CreatesMissingParentDirectories) {
    TempDir dir;
    const fs::path file = dir / "a/b/c/state.json";
    writeFileAtomically(file, "{}");
    EXPECT_EQ(readFile(file), "{}");
}

TEST(AtomicFile, LeavesNoTemporaryFileBehind) {
    TempDir dir;
    writeFileAtomically(dir / "one", "1");
    writeFileAtomically(dir / "one", "2");
    writeFileAtomically(dir / "two", "3");
    EXPECT_THAT(namesIn(dir.path()), UnorderedElementsAre("one", "two"));
}

// Failures that do not depend on permissions, so they also fail when the tests run as root.
TEST(AtomicFile, FailureThrowsAndLeavesTheTargetAsItWas) {
    TempDir dir;
    const fs::path target = dir / "occupied";
    fs::create_directory(target);
    writeFileAtomically(target / "inside", "kept");

    EXPECT_THROW(writeFileAtomically(target, "new"), std::system_error);
    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(readFile(target / "inside"), "kept");
    EXPECT_THAT(namesIn(dir.path()), ElementsAre("occupied"));
}

TEST(AtomicFile, FailureWhenAParentIsAFileLeavesThatFileIntact) {
    TempDir dir;
    const fs::path existing = dir / "config";
    writeFileAtomically(existing, "old content");

    EXPECT_THROW(writeFileAtomically(existing / "nested", "new"), std::system_error);
    EXPECT_EQ(readFile(existing), "old content");
    EXPECT_THAT(namesIn(dir.path()), ElementsAre("config"));
}

}  // namespace
}  // namespace nimbra
