#pragma once

// nimbrad run the way its installed systemd unit runs it, without systemd: the unit's capability
// bounding set (service_sandbox::capabilities(), the list the unit is generated from), no new
// privileges, and a private mount namespace in which the whole file system is read-only but for
// the unit's writable folders (service_sandbox::writableFolders()). A daemon that needs one more
// capability, or writes anywhere else, fails here as it would as a service.
//
// Not reproduced: the system call filter and the device list (they need systemd itself).

#include <filesystem>
#include <string>
#include <vector>

namespace nimbra::e2e {

// `argv` wrapped: unshare a mount namespace, remount everything read-only, bind each folder of
// `writable` that exists writable again, then setpriv into the unit's capabilities.
std::vector<std::string> asConfinedService(std::vector<std::string> argv,
                                           const std::vector<std::filesystem::path>& writable);

}  // namespace nimbra::e2e
