#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

// Replaces `path` with `contents` so that a reader (or a crash) sees either the old file or the
// whole new one, never a torn write: temp file in the same directory, fsync, rename, fsync of the
// directory. Creates missing parent directories. Throws std::system_error on failure, leaving the
// old file untouched.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents);

// The whole of a (small) file as it is now; nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

}  // namespace nimbra
