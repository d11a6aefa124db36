#pragma once

#include "base/unique_fd.hpp"

namespace nimbra::testing {

// A TCP socket listening on 127.0.0.1 (any free port), opened the way Asio opens its sockets:
// without close-on-exec. A child started without care inherits it and keeps the port held.
UniqueFd inheritableListener();

}  // namespace nimbra::testing
