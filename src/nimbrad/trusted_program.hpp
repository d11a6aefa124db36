#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nimbra::nimbrad {

// Why root must not run `program`, or nothing when it may. Root runs only what nobody else can
// change: the file and every folder above it belong to root and are writable by no one else
// (a folder with the sticky bit, like /tmp, is fine: others cannot replace what root owns
// there). Symbolic links are followed, and their targets checked the same way.
std::optional<std::string> refuseUntrustedProgram(const std::filesystem::path& program);

}  // namespace nimbra::nimbrad
