#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::testing {

// Cgroups one test makes in the cgroup2 hierarchy mounted at /sys/fs/cgroup by inPrivateCgroup.
// The hierarchy is the machine's own (a cgroup namespace would shift the levels nftables counts
// from the real root), so every cgroup is created by name and removed again when this goes away:
// only the ones it created, deepest first, after moving any process still in them back to the
// cgroup the test program is in. Cgroups it did not create are never touched.
class PrivateCgroups {
public:
    static constexpr std::string_view kMountPoint = "/sys/fs/cgroup";

    PrivateCgroups();
    ~PrivateCgroups();
    PrivateCgroups(const PrivateCgroups&) = delete;
    PrivateCgroups& operator=(const PrivateCgroups&) = delete;

    // A cgroup of this test's own directly below the root ("nimbra-test-<pid>-<n>"), created.
    const std::string& scratch() const { return scratch_; }

    // Creates `relativePath` (below the root, no leading slash) and whichever cgroups above it
    // are missing, e.g. "user.slice/user-1000.slice/app.slice/app-x.scope"; returns its path
    // under kMountPoint.
    std::string create(std::string_view relativePath);

    // Moves process `pid` (all its threads) into the cgroup at `relativePath`. Never the test
    // program itself: the whole program would move, every thread of it.
    void place(pid_t pid, std::string_view relativePath) const;

    std::string absolute(std::string_view relativePath) const;

private:
    std::vector<std::string> created_;  // absolute paths, in the order they were made
    std::string scratch_;
    std::string home_;  // the test program's own cgroup, where stragglers go back to
};

// Runs `body` on a thread of its own that has left for a private mount namespace with cgroup2
// mounted at /sys/fs/cgroup, the path nftables and the daemon look in; the rest of the test
// program keeps the machine's mounts, and the mount goes when the thread and the processes it
// started have ended. Programs started from the body's thread (posix_spawn, fork, Subprocess),
// or from threads it starts, inherit the namespace and see the same mount; threads that were
// running before do not. `body` gets the cgroups it may create; they are removed before this
// returns. Returns why it could not run the body, or "". Needs root.
std::string inPrivateCgroup(const std::function<void(PrivateCgroups&)>& body);

}  // namespace nimbra::testing
