#pragma once

#include <filesystem>

namespace nimbra::apprules {

// The profile folder every Chromium-family launch shares: $XDG_RUNTIME_DIR/nimbra/isolated-profile,
// or under $XDG_CACHE_HOME (~/.cache) when there is no runtime folder. A browser keeps cookies
// and saved passwords there, so both levels are created mode 0700 and refused (AppLaunchError
// profileRefused) when they already exist as anything but a real folder owned by us with that
// mode: a folder someone else pre-created, or a symbolic link, would hand them the profile.
// Returns the folder's path.
std::filesystem::path ensureIsolatedProfile();

}  // namespace nimbra::apprules
