#pragma once

#include <sys/types.h>

#include <string>

// Telling a process apart from a later one that happens to get the same pid: a journal written
// by a process that has since died must not be mistaken for the journal of a live one.
namespace nimbra::process_identity {

// An opaque token naming this incarnation of `pid`: on Linux the boot and the start time in
// /proc/<pid>/stat, elsewhere what `ps -o lstart=` prints. "" when the process is unknown.
std::string startToken(pid_t pid);

// Whether `pid` is running (or at least exists and is not a zombie) and is the same incarnation
// that gave `token`. An empty token never matches.
bool isRunning(pid_t pid, const std::string& token);

}  // namespace nimbra::process_identity
