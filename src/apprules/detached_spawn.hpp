#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nimbra::apprules {

// A program to start and forget.
struct DetachedCommand {
    std::vector<std::string> argv;         // argv[0]: a path, or a name looked up in our PATH
    std::vector<std::string> environment;  // the child's whole environment, "NAME=value"
    std::string workingDirectory;          // empty: ours
};

// Starts the program so that it belongs to nobody: in a session of its own (a terminal or
// process group of ours ending does not take it along), reparented away from us through a
// short-lived intermediate child that is reaped here (no zombie, nothing for us to wait for),
// with stdin/stdout/stderr on /dev/null, no other descriptor of ours, an empty signal mask and
// default signal dispositions. Returns once the program has been executed -- the exec's outcome
// comes back over a close-on-exec pipe, so a program that cannot be run (no permission, not an
// executable, working folder missing) throws AppLaunchError (startFailed) instead of failing
// unseen. The wait ends at the program's exec: nothing in between can block on us.
// Returns the program's pid, for logs only: it is not our child.
pid_t spawnDetached(const DetachedCommand& command);

}  // namespace nimbra::apprules
