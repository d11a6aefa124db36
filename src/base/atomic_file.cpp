#include "base/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

namespace nimbra {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

void writeAll(int fd, std::string_view contents, const std::string& name) {
    while (!contents.empty()) {
        ssize_t n = ::write(fd, contents.data(), contents.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write " + name);
        }
        contents.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view contents) {
    const auto directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::filesystem::create_directories(directory);

    std::string temp = (directory / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
    FileDescriptor file(::mkostemp(temp.data(), O_CLOEXEC));
    if (file.get() < 0) fail("create temporary file in " + directory.string());

    try {
        writeAll(file.get(), contents, temp);
        if (::fsync(file.get()) != 0) fail("fsync " + temp);
        if (::close(file.release()) != 0) fail("close " + temp);
        if (::rename(temp.c_str(), path.c_str()) != 0) fail("rename to " + path.string());
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }

    // The rename is durable only once the directory entry itself reaches the disk.
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return contents;
}

}  // namespace nimbra
