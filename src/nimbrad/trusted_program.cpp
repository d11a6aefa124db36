#include "nimbrad/trusted_program.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <system_error>
#include <vector>

#include "base/unique_fd.hpp"

namespace nimbra::nimbrad {
namespace {

namespace fs = std::filesystem;

// The kernel gives up after 40 links (ELOOP); a walk of ours that follows more is a loop, too.
constexpr int kMostLinks = 40;

struct Folder {
    UniqueFd fd;
    fs::path location;
};

ProgramCheck refused(std::string why) {
    return {{}, std::move(why)};
}

std::string failure(const fs::path& location) {
    return location.string() + ": " + std::generic_category().message(errno);
}

// Ownership and write permission of one thing on the way, as the opened descriptor tells them;
// what it must be (folder, link, file) is the walk's to say.
std::optional<std::string> refuseOpened(const UniqueFd& fd, const fs::path& location,
                                        struct stat& info) {
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return failure(location);
    if (info.st_uid != 0) return location.string() + " is not owned by root";
    if (S_ISLNK(info.st_mode)) return std::nullopt;  // a link's own mode bits mean nothing
    const bool sticky = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky)
        return location.string() + " is writable by others than root";
    return std::nullopt;
}

// Where a link points. Empty when it cannot be read or does not fit in PATH_MAX.
std::string linkTarget(const UniqueFd& link) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(link.get(), "", target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return {};
    target.resize(static_cast<size_t>(n));
    return target;
}

// Puts the names of `path` in front of what is still to walk.
void walkThrough(const fs::path& path, std::deque<std::string>& ahead) {
    std::vector<std::string> names;
    for (const auto& part : path.relative_path()) names.push_back(part.string());
    ahead.insert(ahead.begin(), names.begin(), names.end());
}

}  // namespace

ProgramCheck checkProgram(const fs::path& program) {
    if (!program.is_absolute()) return refused(program.string() + " is not an absolute path");
    // The folders from "/" to where the walk stands, each of them checked: ".." goes back one.
    std::vector<Folder> folders;
    folders.push_back({UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)), "/"});
    struct stat info {};
    if (auto why = refuseOpened(folders.back().fd, "/", info)) return refused(*why);
    std::deque<std::string> ahead;
    walkThrough(program, ahead);
    int links = 0;
    while (!ahead.empty()) {
        const std::string name = std::move(ahead.front());
        ahead.pop_front();
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (folders.size() > 1) folders.pop_back();
            continue;
        }
        const fs::path location = folders.back().location / name;
        UniqueFd fd(
            ::openat(folders.back().fd.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (auto why = refuseOpened(fd, location, info)) return refused(*why);
        if (S_ISLNK(info.st_mode)) {
            const std::string target = linkTarget(fd);
            if (target.empty() || ++links > kMostLinks)
                return refused(location.string() + " is a link that cannot be followed");
            if (fs::path(target).is_absolute()) folders.resize(1);
            walkThrough(target, ahead);
        } else if (ahead.empty()) {
            if (!S_ISREG(info.st_mode) || (info.st_mode & S_IXUSR) == 0)
                return refused(location.string() + " is not an executable file");
            return {location, std::nullopt};
        } else if (S_ISDIR(info.st_mode)) {
            folders.push_back({std::move(fd), location});
        } else {
            return refused(location.string() + " is not a folder");
        }
    }
    return refused(program.string() + " is not an executable file");
}

std::optional<std::string> refuseUntrustedProgram(const fs::path& program) {
    return checkProgram(program).refusal;
}

}  // namespace nimbra::nimbrad
