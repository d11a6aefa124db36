#include "nimbrad/user_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

#include "nimbrad/user_file_error.hpp"
#include "system/file_system_identity.hpp"

namespace nimbra::nimbrad {
namespace {

namespace fs = std::filesystem;

// The user's rights for the scope of an access, or UserFileError: the user's files are then left
// alone rather than reached as root.
FileSystemIdentity actAs(const UserIdentity& user) {
    try {
        return FileSystemIdentity(user.uid, user.gid);
    } catch (const FileSystemIdentityError& failure) {
        throw UserFileError(std::string(failure.what()) + "; the user's files are left alone");
    }
}

std::string errorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why a folder may not lie on the way to a user's file, or nothing. A folder its group may write
// to passes when that group is the user's own primary one: with a umask of 002, as a private
// group per user brings, every folder the user makes is group-writable.
std::optional<std::string> refuseFolder(const struct stat& info, const UserIdentity& user) {
    if (!S_ISDIR(info.st_mode)) return "is not a folder";
    if (info.st_uid != 0 && info.st_uid != user.uid)
        return "belongs to uid " + std::to_string(info.st_uid) + ", neither root nor the user";
    const bool groupMayWrite =
        (info.st_mode & S_IWGRP) != 0 && !(info.st_uid == user.uid && info.st_gid == user.gid);
    const bool othersMayWrite = groupMayWrite || (info.st_mode & S_IWOTH) != 0;
    const bool rootsStickyFolder = info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0;
    if (othersMayWrite && !rootsStickyFolder)
        return "may be written to by others than its owner (mode " + modeText(info.st_mode) + ")";
    return std::nullopt;
}

void checkFolder(int fd, const fs::path& reached, const UserIdentity& user) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw UserFileError(reached.string() + ": " + errorText(errno));
    if (auto why = refuseFolder(info, user)) throw UserFileError(reached.string() + " " + *why);
}

UniqueFd openStep(int parent, const fs::path& name, const fs::path& reached) {
    UniqueFd fd(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.valid()) return fd;
    const int error = errno;
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        throw UserFileError(reached.string() +
                            " is a symbolic link; none is followed in the user's folders");
    throw UserFileError(reached.string() + ": " + errorText(error));
}

// The folder, reached from "/" one checked step at a time.
UniqueFd openCheckedFolder(const fs::path& folder, const UserIdentity& user) {
    if (!folder.is_absolute()) throw UserFileError(folder.string() + " is not an absolute path");
    fs::path reached = "/";
    UniqueFd fd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    checkFolder(fd.get(), reached, user);
    for (const auto& step : folder.relative_path()) {
        if (step.empty() || step == ".") continue;
        if (step == "..") throw UserFileError(folder.string() + " climbs back with \"..\"");
        reached /= step;
        fd = openStep(fd.get(), step, reached);
        checkFolder(fd.get(), reached, user);
    }
    return fd;
}

std::string temporaryName(const std::string& name) {
    std::random_device random;
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, ".tmp-%08x", static_cast<unsigned>(random()));
    return "." + name + suffix;
}

}  // namespace

UserFile::UserFile(const fs::path& path, const UserIdentity& user)
    : path_(path), name_(path.filename().string()), user_(user) {
    if (name_.empty() || name_ == "." || name_ == "..")
        throw UserFileError(path.string() + " does not name a file");
    const auto as = actAs(user_);
    folder_ = openCheckedFolder(path.parent_path(), user_);
}

UserFile::UserFile(const fs::path& path, const std::vector<uid_t>& allowedUids)
    : UserFile(path, userIdentityFor(allowedUids)) {}

void UserFile::fail(const std::string& name, std::string_view why, int error) const {
    std::string text = (path_.parent_path() / name).string() + " " + std::string(why);
    if (error != 0) text += ": " + errorText(error);
    throw UserFileError(text);
}

// Opened as the user, never through a link, and only when it is a regular file.
UniqueFd UserFile::open(const std::string& name, int flags, mode_t mode) const {
    UniqueFd fd(::openat(folder_.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
        if (errno == ENOENT && (flags & O_CREAT) == 0) return fd;
        if (errno == ELOOP)
            fail(name, "is a symbolic link; none is followed in the user's folders");
        fail(name, "cannot be opened", errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) fail(name, "cannot be examined", errno);
    if (!S_ISREG(info.st_mode)) fail(name, "is not a regular file");
    if ((flags & O_ACCMODE) == O_RDONLY && static_cast<std::size_t>(info.st_size) > kMaxSize)
        fail(name, "is larger than 1 MiB");
    return fd;
}

std::optional<std::string> UserFile::read() const {
    const auto as = actAs(user_);
    // O_NONBLOCK: opening a FIFO must not wait for a writer that never comes.
    const UniqueFd file = open(name_, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0);
    if (!file.valid()) return std::nullopt;
    std::string contents;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(name_, "cannot be read", errno);
        if (n == 0) return contents;
        contents.append(buffer, static_cast<std::size_t>(n));
        if (contents.size() > kMaxSize) fail(name_, "is larger than 1 MiB");  // it grew
    }
}

void UserFile::replace(std::string_view contents) const {
    const auto as = actAs(user_);
    const std::string temporary = temporaryName(name_);
    UniqueFd file(::openat(folder_.get(), temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) fail(temporary, "cannot be created", errno);
    try {
        for (std::string_view rest = contents; !rest.empty();) {
            const ssize_t n = ::write(file.get(), rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail(temporary, "cannot be written", errno);
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        if (::fsync(file.get()) != 0) fail(temporary, "cannot be flushed", errno);
        if (::close(file.release()) != 0) fail(temporary, "cannot be closed", errno);
        if (::renameat(folder_.get(), temporary.c_str(), folder_.get(), name_.c_str()) != 0)
            fail(name_, "cannot be replaced", errno);
    } catch (...) {
        ::unlinkat(folder_.get(), temporary.c_str(), 0);
        throw;
    }
    // The rename lasts through a crash only once the folder's entry is on disk.
    const UniqueFd folder(::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) ::fsync(folder.get());
}

UniqueFd UserFile::openForAppend() const {
    const auto as = actAs(user_);
    return open(name_, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, 0644);
}

}  // namespace nimbra::nimbrad
