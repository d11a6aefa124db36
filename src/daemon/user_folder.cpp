#include "daemon/user_folder.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.hpp"

namespace nimbra::user_folder {

namespace fs = std::filesystem;

void handOver(const fs::path& path, const Owner& owner) {
    if (::lchown(path.c_str(), owner.uid, owner.gid) == 0) return;
    logLine("daemon", "cannot hand " + path.string() + " to uid " + std::to_string(owner.uid) +
                          ": " + std::strerror(errno));
}

void create(const fs::path& folder, const Owner& owner) {
    // Deepest first; a link counts as present (it is not ours to replace).
    std::vector<fs::path> missing;
    for (fs::path at = folder; at != at.parent_path(); at = at.parent_path()) {
        std::error_code error;
        if (fs::exists(fs::symlink_status(at, error))) break;
        missing.push_back(at);
    }
    fs::create_directories(folder);
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) handOver(*at, owner);
}

}  // namespace nimbra::user_folder
