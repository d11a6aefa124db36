#include "daemon/hostile_path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>
#include <vector>

#include "system/file_system_identity.hpp"

namespace nimbra::hostile_path {
namespace {

namespace fs = std::filesystem;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A folder the user may pass through but not list (mode 0711) is still on their way: O_PATH
// needs only the search right, and is all openat and fstat need.
constexpr int kPassFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void refuse(const std::string& message) {
    throw Refused(message);
}

[[noreturn]] void systemFailure(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// The components below "/", each already known to be a plain name (checkPathText).
std::vector<std::string> componentsOf(const fs::path& path) {
    std::vector<std::string> components;
    for (const auto& part : path.relative_path()) components.push_back(part.string());
    return components;
}

struct stat statOf(int fd, const std::string& shown) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) systemFailure("fstat " + shown);
    return info;
}

// Why opening `name` below a checked folder failed, in the words a user can act on (a link
// opened as a folder fails as "not a folder", so the entry itself is looked at).
[[noreturn]] void refuseOpen(int folder, const std::string& name, const std::string& shown) {
    const int error = errno;
    struct stat entry {};
    const bool isLink =
        ::fstatat(folder, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(entry.st_mode);
    if (error == ELOOP || isLink) refuse(shown + " is a symbolic link");
    if (error == ENOTDIR) refuse(shown + " is not a folder");
    refuse("cannot open " + shown + ": " + std::strerror(error));
}

// Only root may change the folder: root's, and writable by no one else unless sticky.
void checkRootOwned(int fd, const std::string& shown) {
    const struct stat info = statOf(fd, shown);
    const bool othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (info.st_uid != 0 || (othersMayWrite && (info.st_mode & S_ISVTX) == 0)) {
        refuse(shown + " is not a folder only root can change");
    }
}

// The user's file-system identity for as long as it lives: opens are then checked against the
// user's rights, not root's.
FileSystemIdentity actAs(const User& user) {
    try {
        return FileSystemIdentity(user.uid, user.gid);
    } catch (const FileSystemIdentityError&) {
        refuse("cannot take the file-system identity of uid " + std::to_string(user.uid));
    }
}

// Opens the folders of `components` one below the other from "/", never through a link.
UniqueFd walkFolders(const std::vector<std::string>& components, std::size_t count, int flags,
                     const std::function<void(int, const std::string&)>& check, bool create) {
    UniqueFd folder(::open("/", flags));
    if (!folder.valid()) systemFailure("open /");
    check(folder.get(), "/");
    std::string shown;
    for (std::size_t index = 0; index < count; ++index) {
        const std::string& name = components[index];
        shown += "/" + name;
        if (create && ::mkdirat(folder.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
            systemFailure("mkdir " + shown);
        }
        UniqueFd next(::openat(folder.get(), name.c_str(), flags));
        if (!next.valid()) refuseOpen(folder.get(), name, shown);
        check(next.get(), shown);
        folder = std::move(next);
    }
    return folder;
}

void checkOwnedBy(const struct stat& info, const User& user, const std::string& shown) {
    if (info.st_uid != user.uid) {
        refuse(shown + " is not owned by uid " + std::to_string(user.uid));
    }
}

void writeAll(int fd, const char* data, std::size_t size, const std::string& shown) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) systemFailure("write " + shown);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// The new file's contents come from `fill`; it is then made root's with `mode`, synced and
// renamed over `name`, and the folder synced so the rename survives a crash.
void replace(int folder, const std::string& name, mode_t mode,
             const std::function<void(int, const std::string&)>& fill) {
    const std::string temporary = "." + name + ".new-" + std::to_string(::getpid());
    // A leftover of an interrupted run under the same name is ours (root's folder) to drop.
    ::unlinkat(folder, temporary.c_str(), 0);
    UniqueFd file(::openat(folder, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) systemFailure("create " + temporary);
    try {
        fill(file.get(), temporary);
        if (::fchown(file.get(), 0, 0) != 0) systemFailure("chown " + temporary);
        if (::fchmod(file.get(), mode) != 0) systemFailure("chmod " + temporary);
        if (::fsync(file.get()) != 0) systemFailure("fsync " + temporary);
        if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
            systemFailure("rename " + temporary + " to " + name);
        }
    } catch (...) {
        ::unlinkat(folder, temporary.c_str(), 0);
        throw;
    }
    if (::fsync(folder) != 0) systemFailure("fsync the folder of " + name);
}

}  // namespace

void checkPathText(const std::string& text, const std::string& what) {
    if (text.size() > kMaxPathLength) {
        refuse(what + " is longer than " + std::to_string(kMaxPathLength) + " bytes");
    }
    if (text.empty() || text.front() != '/') refuse(what + " is not an absolute path: " + text);
    for (const char character : text) {
        if (static_cast<unsigned char>(character) < 0x20 || character == 0x7f) {
            refuse(what + " holds a control character");
        }
    }
    std::size_t start = 1;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('/', start), text.size());
        const std::string component = text.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") {
            refuse(what + " is not a plain absolute path: " + text);
        }
        start = end + 1;
    }
}

UniqueFd openRootFolder(const fs::path& folder, bool create) {
    checkPathText(folder.string(), "folder");
    const auto components = componentsOf(folder);
    return walkFolders(components, components.size(), kFolderFlags, checkRootOwned, create);
}

UniqueFd openUserFolder(const fs::path& folder, const User& user) {
    checkPathText(folder.string(), "folder");
    const auto identity = actAs(user);
    const auto components = componentsOf(folder);
    UniqueFd opened = walkFolders(
        components, components.size(), kPassFlags, [](int, const std::string&) {}, false);
    checkOwnedBy(statOf(opened.get(), folder.string()), user, folder.string());
    return opened;
}

UniqueFd openUserFile(const fs::path& file, const User& user, std::uint64_t maxSize) {
    checkPathText(file.string(), "file");
    const auto identity = actAs(user);
    const auto components = componentsOf(file);
    const UniqueFd folder = walkFolders(
        components, components.size() - 1, kPassFlags, [](int, const std::string&) {}, false);
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
    UniqueFd opened(::openat(folder.get(), components.back().c_str(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened.valid()) refuseOpen(folder.get(), components.back(), file.string());
    const struct stat info = statOf(opened.get(), file.string());
    if (!S_ISREG(info.st_mode)) refuse(file.string() + " is not a regular file");
    // Root's own program (an administrator's install of usque) is as safe to copy as the
    // user's: it was opened with the user's rights, so nothing they may not read comes through.
    if (info.st_uid != 0) checkOwnedBy(info, user, file.string());
    if (static_cast<std::uint64_t>(info.st_size) > maxSize) {
        refuse(file.string() + " is larger than " + std::to_string(maxSize) + " bytes");
    }
    return opened;
}

void replaceWithText(int folder, const std::string& name, const std::string& text, mode_t mode) {
    replace(folder, name, mode, [&text](int file, const std::string& shown) {
        writeAll(file, text.data(), text.size(), shown);
    });
}

void replaceWithCopy(int folder, const std::string& name, int source, mode_t mode,
                     std::uint64_t maxSize) {
    replace(folder, name, mode, [source, maxSize](int file, const std::string& shown) {
        char buffer[1 << 16];
        std::uint64_t copied = 0;
        for (;;) {
            const ssize_t got = ::read(source, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) systemFailure("read the source of " + shown);
            if (got == 0) return;
            // Bounded when opened; a source that grows meanwhile must not fill the disk.
            copied += static_cast<std::uint64_t>(got);
            if (copied > maxSize) {
                errno = EFBIG;
                systemFailure("copy to " + shown);
            }
            writeAll(file, buffer, static_cast<std::size_t>(got), shown);
        }
    });
}

void removeIfPresent(int folder, const std::string& name) {
    if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT)
        systemFailure("remove " + name);
}

}  // namespace nimbra::hostile_path
