#pragma once

#include <filesystem>
#include <vector>

namespace nimbra::usque_locator {

// The places usque may be installed, in the order they are tried after `which usque`.
std::vector<std::filesystem::path> candidates();

// The usque executable to run: what `which usque` names, else the first executable candidate.
// Throws UsqueError (binary missing) when there is none.
std::filesystem::path resolve();

}  // namespace nimbra::usque_locator
