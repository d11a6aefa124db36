#pragma once

#include <unistd.h>

#include <utility>

namespace nimbra {

// Owns one file descriptor and closes it when dropped, so early returns and exceptions cannot
// leak descriptors into later children.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

    // Hands the descriptor over; the caller closes it.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Linux releases the descriptor even when close() reports EINTR, so a retry could close a
    // descriptor another thread has just been given.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace nimbra
