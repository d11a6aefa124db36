#pragma once

#include <functional>
#include <string>

namespace nimbra::testing {

// Runs `body` on a thread of its own that has left for a fresh network namespace: sockets it
// opens and programs it starts live there, and the namespace goes when the thread ends. The rest
// of the test program stays in the host's namespace. Returns why it could not, or "".
std::string inPrivateNetwork(const std::function<void()>& body);

}  // namespace nimbra::testing
