#pragma once

#include <stdexcept>

namespace nimbra::nimbrad {

// Why nimbrad would not read or write one of the user's files; the text names the folder or
// file at fault and is meant for the log and the client's reply.
class UserFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace nimbra::nimbrad
