#include "confined_service.hpp"

#include <algorithm>
#include <cctype>

#include "daemon/service_sandbox.hpp"

namespace nimbra::e2e {
namespace {

// Runs in the new mount namespace: cgroup2 where a systemd machine has it (the tests' machine
// may mount it elsewhere), every mount read-only (ProtectSystem=strict, ProtectHome=read-only,
// ProtectKernelTunables= and ProtectControlGroups= at once), then the writable folders and files
// (ReadWritePaths=, a missing one skipped like the unit's "-" entries), then the command under
// setpriv. The paths come as arguments up to "--", the setpriv capability list in CAPS.
constexpr const char* kConfine = R"SH(set -e
[ "$(stat -f -c %T /sys/fs/cgroup)" = cgroup2fs ] || mount -t cgroup2 none /sys/fs/cgroup
awk '{ print $5 }' /proc/self/mountinfo | while read -r point; do
  mount -o remount,bind,ro "$point" 2>/dev/null || true
done
while [ "$1" != -- ]; do
  if [ -e "$1" ]; then mount --bind "$1" "$1"; mount -o remount,bind,rw "$1"; fi
  shift
done
shift
exec setpriv --no-new-privs --inh-caps=-all --bounding-set="-all$CAPS" -- "$@"
)SH";

// "+net_admin,+setuid..." as setpriv spells the unit's capabilities.
std::string setprivCapabilities() {
    std::string list;
    for (const auto& capability : service_sandbox::capabilities()) {
        std::string name(capability.name.substr(capability.name.find('_') + 1));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        list += ",+" + name;
    }
    return list;
}

}  // namespace

std::vector<std::string> asConfinedService(std::vector<std::string> argv,
                                           const std::vector<std::filesystem::path>& writable) {
    std::vector<std::string> wrapped = {"unshare",
                                        "--mount",
                                        "--propagation",
                                        "private",
                                        "--",
                                        "env",
                                        "CAPS=" + setprivCapabilities(),
                                        "/bin/sh",
                                        "-c",
                                        kConfine,
                                        "confine"};
    for (const auto& folder : writable) wrapped.push_back(folder.string());
    wrapped.push_back("--");
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

}  // namespace nimbra::e2e
