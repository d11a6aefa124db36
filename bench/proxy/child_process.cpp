#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace nimbra::bench {
namespace {

// Between fork and exec only async-signal-safe calls: the benchmark has threads running.
[[noreturn]] void becomeChild(char* const* argv, int logFd, int nullFd, pid_t benchmark) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != benchmark) ::_exit(127);
    ::dup2(nullFd, STDIN_FILENO);
    ::dup2(logFd, STDOUT_FILENO);
    ::dup2(logFd, STDERR_FILENO);
    // The benchmark's own sockets (origins, held tunnels) must not leak into a proxy.
    ::close_range(3, ~0U, 0);
    ::execv(argv[0], argv);
    ::_exit(127);
}

// The fields of /proc/<pid>/stat from the third (state) on, read after the command name, which
// may itself hold spaces and parentheses: field n of proc(5) is at index n - 3.
std::vector<std::string> statFieldsOf(const std::filesystem::path& procEntry) {
    std::ifstream stat(procEntry / "stat");
    std::string line;
    std::getline(stat, line);
    const auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) return {};
    std::istringstream text(line.substr(nameEnd + 1));
    std::vector<std::string> fields;
    for (std::string field; text >> field;) fields.push_back(field);
    return fields;
}

long long statField(const std::vector<std::string>& fields, std::size_t number) {
    return number - 3 < fields.size() ? std::stoll(fields[number - 3]) : 0;
}

pid_t processGroupOf(const std::filesystem::path& procEntry) {
    const auto fields = statFieldsOf(procEntry);
    return fields.empty() ? -1 : static_cast<pid_t>(statField(fields, 5));
}

// utime and stime (fields 14 and 15) cover the process's threads, those that ended included.
// cutime and cstime (16 and 17) add the children it has reaped: a forking server's children
// that end during the load would otherwise take their CPU time with them.
long long cpuTicksOf(const std::filesystem::path& procEntry) {
    const auto fields = statFieldsOf(procEntry);
    long long ticks = 0;
    for (std::size_t number = 14; number <= 17; ++number) ticks += statField(fields, number);
    return ticks;
}

template <typename Visit>
void forEachProcessOfGroup(pid_t group, Visit visit) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (processGroupOf(entry.path()) == group) visit(entry.path());
    }
}

long peakResidentOf(const std::filesystem::path& procEntry) {
    std::ifstream status(procEntry / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log)
    : log_(log) {
    std::vector<char*> pointers;
    for (const auto& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t benchmark = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) becomeChild(pointers.data(), logFd, nullFd, benchmark);
    ::close(logFd);
    ::close(nullFd);
    if (pid_ < 0) throw std::runtime_error("cannot fork for " + argv[0]);
    // Set from both sides so that a kill of the group never races the child's own setpgid.
    ::setpgid(pid_, pid_);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : log_(std::move(other.log_)), pid_(std::exchange(other.pid_, -1)) {}

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::hasExited() {
    if (pid_ < 0) return true;
    if (::waitpid(pid_, nullptr, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
}

long ChildProcess::peakResidentKiB() const {
    long total = 0;
    forEachProcessOfGroup(
        pid_, [&](const std::filesystem::path& process) { total += peakResidentOf(process); });
    return total;
}

void ChildProcess::resetPeakResident() const {
    // "5" sets VmHWM back to the current RSS (Linux 4.0 and later).
    forEachProcessOfGroup(pid_, [](const std::filesystem::path& process) {
        std::ofstream(process / "clear_refs") << "5";
    });
}

long long ChildProcess::cpuTicks() const {
    long long total = 0;
    forEachProcessOfGroup(
        pid_, [&](const std::filesystem::path& process) { total += cpuTicksOf(process); });
    return total;
}

std::string ChildProcess::logTail() const {
    std::ifstream in(log_);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

void ChildProcess::stop() {
    if (pid_ < 0) return;
    const pid_t group = pid_;
    ::kill(-group, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!hasExited() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pid_ >= 0) {
        ::kill(-group, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Children of a forking server that outlived their leader.
    ::kill(-group, SIGKILL);
}

}  // namespace nimbra::bench
