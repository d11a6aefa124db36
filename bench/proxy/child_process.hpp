#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace nimbra::bench {

// A proxy under test, run in its own process group so that a forking server and all its
// children are measured and stopped together. Stopped (TERM, then KILL) when destroyed, and
// killed by the kernel should the benchmark itself die first.
class ChildProcess {
public:
    // argv[0] is the program's path. stdout and stderr go to `log`.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log);
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ~ChildProcess();

    bool hasExited();
    // VmHWM summed over every process of the group, in KiB.
    long peakResidentKiB() const;
    // Forgets the peaks so far, start-up included: from here on VmHWM is what the load adds.
    void resetPeakResident() const;
    // CPU time used so far, user and system, summed over every process of the group and the
    // children they reaped, in clock ticks (sysconf(_SC_CLK_TCK) a second).
    long long cpuTicks() const;
    // The end of what the process wrote, for error messages.
    std::string logTail() const;

private:
    void stop();

    std::filesystem::path log_;
    pid_t pid_ = -1;
};

}  // namespace nimbra::bench
