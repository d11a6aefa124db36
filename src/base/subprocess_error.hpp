#pragma once

#include <stdexcept>
#include <string>

namespace nimbra {

// A child process could not be launched. what() reads like "cannot launch /no/such: No such file
// or directory"; code() is the errno behind it, for callers that react to ENOENT or EACCES.
class SubprocessError : public std::runtime_error {
public:
    SubprocessError(int code, const std::string& message)
        : std::runtime_error(message), code_(code) {}

    int code() const noexcept { return code_; }

private:
    int code_;
};

}  // namespace nimbra
