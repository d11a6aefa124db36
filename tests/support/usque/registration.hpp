#pragma once

#include "standin_options.hpp"

namespace nimbra::standin {

// `usque register`: asks before overwriting an existing config file, asks for the terms of
// service unless -a was given (EOF on stdin answers "no"), then writes a fake registration file.
// Returns the exit status.
int runRegister(const StandinOptions& options);

}  // namespace nimbra::standin
