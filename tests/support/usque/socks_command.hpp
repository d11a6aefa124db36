#pragma once

#include "standin_options.hpp"

namespace nimbra::standin {

// `usque socks`: loads the registration, serves SOCKS5 on the requested loopback port and logs
// the tunnel coming up, until SIGTERM or SIGINT. Returns the exit status; like usque, a missing
// registration and a port that cannot be bound end the run with status 0.
int runSocks(const StandinOptions& options);

}  // namespace nimbra::standin
