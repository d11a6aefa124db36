#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace nimbra::apprules {

// A program to start and forget.
struct DetachedCommand {
    std::vector<std::string> argv;         // argv[0]: a path, or a name looked up in our PATH
    std::vector<std::string> environment;  // the child's whole environment, "NAME=value"
    std::string workingDirectory;          // empty: ours
};

// Runs while the program's process exists but has not yet executed the program, given its pid:
// whatever it does to the process (moving it into a cgroup) holds from the program's first
// instruction. An exception it throws is logged and the program is started all the same.
using BeforeExec = std::function<void(pid_t)>;

// Starts the program so that it belongs to nobody: in a session of its own (a terminal or
// process group of ours ending does not take it along), reparented away from us through a
// short-lived intermediate child that is reaped here (no zombie, nothing for us to wait for),
// with stdin/stdout/stderr on /dev/null, no other descriptor of ours, an empty signal mask and
// default signal dispositions. Returns once the program has been executed -- the exec's outcome
// comes back over a close-on-exec pipe, so a program that cannot be run (not found, no
// permission, not an executable, working folder missing) throws AppLaunchError (startFailed)
// instead of failing unseen. Nothing between the start and the exec can block on us but
// `beforeExec`. Returns the program's pid, for logs only: it is not our child.
pid_t spawnDetached(const DetachedCommand& command, const BeforeExec& beforeExec = {});

}  // namespace nimbra::apprules
