#include "system/process_control.hpp"

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/subprocess.hpp"
#include "base/text.hpp"

namespace nimbra::process_control {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kChecksPerSignal = 20;
constexpr auto kWhichTimeout = 3s;

#ifdef __linux__
// The state letter in /proc/<pid>/stat comes right after the command name, which is wrapped in
// parentheses and may itself contain ") ", hence the search from the end.
bool isZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t nameEnd = line.rfind(')');
    return nameEnd != std::string::npos && line.compare(nameEnd, 3, ") Z") == 0;
}
#endif

// True once the process is gone, checking up to kChecksPerSignal times.
bool awaitGone(pid_t pid, std::chrono::milliseconds pollInterval) {
    for (int check = 0; check < kChecksPerSignal; ++check) {
        if (isGone(pid)) return true;
        std::this_thread::sleep_for(pollInterval);
    }
    return false;
}

}  // namespace

bool isGone(pid_t pid) {
    // kill() also fails with EPERM for a process that is not ours: waiting for it is pointless,
    // since we cannot end it anyway.
    if (::kill(pid, 0) != 0) return true;
#ifdef __linux__
    return isZombie(pid);
#else
    return false;
#endif
}

void terminatePid(pid_t pid, std::chrono::milliseconds pollInterval) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    if (awaitGone(pid, pollInterval)) return;
    ::kill(pid, SIGKILL);
    awaitGone(pid, pollInterval);
}

void waitUntilPortFree(ProcessTable& table, int port, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds pollInterval) {
    const auto deadline = Clock::now() + timeout;
    for (auto now = Clock::now(); now < deadline && !table.listenerPids(port).empty();
         now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        std::this_thread::sleep_for(std::min(pollInterval, left));
    }
}

std::optional<std::string> which(const std::string& name, const std::string& whichTool) {
    Subprocess::Options options;
    options.argv = {whichTool, name};
    options.output = Subprocess::Output::separate;
    try {
        const auto result = Subprocess::run(std::move(options), kWhichTimeout);
        if (!result.status.succeeded()) return std::nullopt;
        const std::string_view path = text::trim(result.out);
        if (path.empty()) return std::nullopt;
        return std::string(path);
    } catch (const SubprocessError&) {
        return std::nullopt;
    }
}

bool commandLineMentionsUsque(const std::string& args) {
    return text::containsCaseInsensitive(args, "usque");
}

}  // namespace nimbra::process_control
