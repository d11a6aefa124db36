#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace nimbra::apprules {

// One `.desktop` file found below an applications folder.
struct DesktopFile {
    std::string id;  // path below the folder, '/' replaced by '-': "kde4-konsole.desktop"
    std::filesystem::path path;
};

// The `.desktop` regular files (or links to regular files) below `folder`, recursively, ordered
// by their path below it. Linked folders are not entered, so a link back up the tree cannot
// loop; folders deeper than `maxDepth` below `folder` are not entered, and the walk stops after
// looking at `maxEntries` directory entries. A folder that is missing or unreadable contributes
// nothing.
std::vector<DesktopFile> desktopFilesBelow(const std::filesystem::path& folder, int maxDepth,
                                           std::size_t maxEntries);

}  // namespace nimbra::apprules
