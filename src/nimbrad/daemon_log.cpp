#include "nimbrad/daemon_log.hpp"

#include <unistd.h>

#include <ctime>
#include <mutex>
#include <string>

#include "base/log.hpp"
#include "base/unique_fd.hpp"
#include "nimbrad/user_file.hpp"
#include "nimbrad/user_file_error.hpp"

namespace nimbra::nimbrad {
namespace {

std::mutex logMutex;
UniqueFd logFile;

std::string localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", &parts);
    return text;
}

}  // namespace

void openLogFile(const std::filesystem::path& path, const std::vector<uid_t>& allowedUids) {
    UniqueFd fd;
    try {
        fd = UserFile(path, allowedUids).openForAppend();
    } catch (const UserFileError& failure) {
        daemonLog(std::string("no log file: ") + failure.what() + "; logging to the journal only");
        return;
    }
    std::lock_guard lock(logMutex);
    logFile = std::move(fd);
}

void daemonLog(std::string_view message) {
    logLine("nimbrad", message);
    std::lock_guard lock(logMutex);
    if (logFile.get() < 0) return;
    std::string line = localTime();
    // Whatever a message carries, it stays one line: a control character from some value that
    // was not quoted can neither start a line of its own nor steer a terminal showing the file.
    for (const char c : message)
        line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    line += '\n';
    // One write per line, so lines from a restarted daemon never interleave mid-line.
    [[maybe_unused]] const auto written = ::write(logFile.get(), line.data(), line.size());
}

}  // namespace nimbra::nimbrad
