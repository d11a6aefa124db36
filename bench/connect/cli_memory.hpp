#pragma once

#include <string>

namespace nimbra::bench {

// Resident memory in KiB, from /proc/<pid>/status; -1 when it could not be read.
struct ResidentMemory {
    long rssKiB = -1;  // VmRSS
    long hwmKiB = -1;  // VmHWM, the peak
};

struct CliMemory {
    ResidentMemory cli;    // nimbra-cli connect
    ResidentMemory usque;  // the usque stand-in it supervises
    std::string failure;   // why nothing was measured, with what the program printed
};

// Runs `nimbra-cli connect --mode socks` on a private home against the usque and trace-server
// stand-ins, waits until it prints the exit, lets it sit idle for `idleSeconds`, reads both
// processes' memory, then stops it with SIGTERM and waits for it to end.
CliMemory measureCliMemory(const std::string& cliProgram, int idleSeconds);

}  // namespace nimbra::bench
