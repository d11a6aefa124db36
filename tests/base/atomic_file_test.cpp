// Atomic replacement of a file: all of the new content or, on failure, all of the old.

#include "base/atomic_file.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <system_error>

#include "support/file_text.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using ::testing::UnorderedElementsAre;

std::vector<std::string> namesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(AtomicFile, ReplacesContentCompletelyByteForByteAndLeavesNoTemporaryFile) {
    testing::TempDir dir;
    const std::string binary("nul\0bytes\r\n\xFF", 13);
    writeFileAtomically(dir / "a/b/state.json", "a much longer first version of the file");
    writeFileAtomically(dir / "a/b/state.json", binary);  // missing parents were created
    EXPECT_EQ(readFile(dir / "a/b/state.json"), binary);
    writeFileAtomically(dir / "a/b/empty", "");
    EXPECT_EQ(readFile(dir / "a/b/empty"), "");
    EXPECT_THAT(namesIn(dir / "a/b"), UnorderedElementsAre("state.json", "empty"));
}

// Failures that do not depend on permissions, so they also fail when the tests run as root.
TEST(AtomicFile, AFailureThrowsAndLeavesEverythingAsItWas) {
    testing::TempDir dir;
    writeFileAtomically(dir / "occupied" / "inside", "kept");  // a directory in the target's way
    writeFileAtomically(dir / "config", "old content");        // a file in a parent's way

    EXPECT_THROW(writeFileAtomically(dir / "occupied", "new"), std::system_error);
    EXPECT_THROW(writeFileAtomically(dir / "config" / "nested", "new"), std::system_error);
    EXPECT_EQ(readFile(dir / "occupied" / "inside"), "kept");
    EXPECT_EQ(readFile(dir / "config"), "old content");
    EXPECT_THAT(namesIn(dir.path()), UnorderedElementsAre("occupied", "config"));
}

}  // namespace
}  // namespace nimbra
