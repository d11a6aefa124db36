#include "nimbrad/daemon_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <mutex>
#include <string>

#include "base/log.hpp"
#include "base/unique_fd.hpp"
#include "nimbrad/user_file_access.hpp"

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

void openLogFile(const std::filesystem::path& path) {
    struct stat folder {};
    const auto parent =
        path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
    if (::stat(parent.c_str(), &folder) != 0) {
        daemonLog("log file " + path.string() +
                  ": its folder is missing; logging to the journal only");
        return;
    }
    int fd = -1;
    {
        FileSystemIdentity identity(folder.st_uid, folder.st_gid);
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        daemonLog("cannot open the log file " + path.string() + "; logging to the journal only");
        return;
    }
    std::lock_guard lock(logMutex);
    logFile.reset(fd);
}

void daemonLog(std::string_view message) {
    logLine("nimbrad", message);
    std::lock_guard lock(logMutex);
    if (logFile.get() < 0) return;
    std::string line = localTime();
    line.append(message);
    line += '\n';
    // One write per line, so lines from a restarted daemon never interleave mid-line.
    [[maybe_unused]] const auto written = ::write(logFile.get(), line.data(), line.size());
}

}  // namespace nimbra::nimbrad
