#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace nimbra::testing {

// A file's whole text, "" when it cannot be read (a missing file then fails a comparison with
// what was expected rather than throwing past it).
std::string readFile(const std::filesystem::path& path);

// Writes `contents` in place (not atomically: the test keeps the inode, mode and links it set
// up), creating missing parent directories. Throws when the write fails, failing the test.
void writeFile(const std::filesystem::path& path, std::string_view contents);

}  // namespace nimbra::testing
