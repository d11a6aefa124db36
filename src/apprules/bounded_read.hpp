#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Reading files whose size and kind we do not control (entries in folders any package or the user
// can write to, files under /proc of other processes) without letting them stall or swamp us.
namespace nimbra::apprules {

// The whole content of a regular file of at most `maxBytes`. None for anything else: a missing
// or unreadable file, a FIFO or device (opened without blocking, never read), a directory, or a
// file larger than the bound, whether it was that large when opened or grew while being read.
std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t maxBytes);

// The first `maxBytes` of a file whose size cannot be known beforehand (/proc reports 0), less
// when it is shorter. None when it cannot be opened or read.
std::optional<std::string> readFilePrefix(const std::string& path, std::size_t maxBytes);

}  // namespace nimbra::apprules
