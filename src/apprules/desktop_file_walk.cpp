#include "apprules/desktop_file_walk.hpp"

#include <algorithm>

namespace nimbra::apprules {
namespace {

std::string idBelow(const std::filesystem::path& folder, const std::filesystem::path& file) {
    std::string id = file.lexically_relative(folder).generic_string();
    std::replace(id.begin(), id.end(), '/', '-');
    return id;
}

bool isDesktopFile(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    // is_regular_file follows a link to its target: a link to a FIFO or device is not read.
    return entry.path().extension() == ".desktop" && entry.is_regular_file(ec);
}

}  // namespace

std::vector<DesktopFile> desktopFilesBelow(const std::filesystem::path& folder, int maxDepth,
                                           std::size_t maxEntries) {
    namespace fs = std::filesystem;
    std::vector<DesktopFile> files;
    std::error_code ec;
    // Without follow_directory_symlink the iterator does not descend into linked folders.
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    std::size_t seen = 0;
    for (; !ec && it != fs::recursive_directory_iterator() && seen < maxEntries;
         it.increment(ec), ++seen) {
        if (it.depth() >= maxDepth) it.disable_recursion_pending();
        if (isDesktopFile(*it)) files.push_back({idBelow(folder, it->path()), it->path()});
    }
    std::sort(files.begin(), files.end(),
              [](const DesktopFile& a, const DesktopFile& b) { return a.path < b.path; });
    return files;
}

}  // namespace nimbra::apprules
