#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "system/platform_profile.hpp"
#include "system/process_table.hpp"

// Blocking helpers for ending processes and waiting on ports. They sleep, so call them from a
// worker thread, never from the core loop.
namespace nimbra::process_control {

// Asks the process to end (SIGTERM), gives it up to 20 poll intervals (1 s by default), then
// kills it (SIGKILL) and waits up to 20 intervals more. Returns as soon as the process is gone;
// a pid that is already gone, or that we may not signal, returns at once. Does nothing for
// pid <= 0, which kill() would read as "a whole process group" or "everyone".
void terminatePid(pid_t pid,
                  std::chrono::milliseconds pollInterval = std::chrono::milliseconds(50));

// Whether the process has ended: it no longer exists (or is not ours to signal) or, on Linux, it
// is a zombie -- dead, merely waiting for its parent to collect the exit status.
bool isGone(pid_t pid);

// Polls the table until nobody listens on the port or the time-out passes, whichever is first.
void waitUntilPortFree(ProcessTable& table, int port, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds pollInterval = std::chrono::milliseconds(50));

// The full path `which` gives for a program name; nullopt when it finds none or cannot run.
std::optional<std::string> which(const std::string& name,
                                 const std::string& whichTool = PlatformProfile::current().which);

// Whether a command line looks like usque's (ASCII case-insensitive).
bool commandLineMentionsUsque(const std::string& args);

}  // namespace nimbra::process_control
