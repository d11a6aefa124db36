#include "system/process_identity.hpp"

#include <fstream>
#include <iterator>
#include <sstream>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "system/platform_profile.hpp"
#include "system/process_control.hpp"

namespace nimbra::process_identity {
namespace {

std::string readWhole(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

#ifdef __linux__
// The start time (field 22, clock ticks since boot) comes after the command name, which is
// wrapped in parentheses and may itself contain spaces and parentheses.
std::string procStartTime(pid_t pid) {
    const std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
    const auto end = stat.rfind(')');
    if (end == std::string::npos) return "";
    std::istringstream fields(stat.substr(end + 1));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22) return field;
    }
    return "";
}
#endif

}  // namespace

std::string startToken(pid_t pid) {
    if (pid <= 0) return "";
#ifdef __linux__
    const std::string started = procStartTime(pid);
    if (started.empty()) return "";
    const std::string boot(text::trim(readWhole("/proc/sys/kernel/random/boot_id")));
    return boot + "/" + started;
#else
    try {
        Subprocess::Options ps;
        ps.argv = {PlatformProfile::current().ps, "-o", "lstart=", "-p", std::to_string(pid)};
        ps.output = Subprocess::Output::separate;
        auto result = Subprocess::run(std::move(ps), std::chrono::seconds(3));
        if (result.timedOut || result.status.code != 0) return "";
        return std::string(text::trim(result.out));
    } catch (const std::exception&) {
        return "";
    }
#endif
}

bool isRunning(pid_t pid, const std::string& token) {
    if (pid <= 0 || token.empty() || process_control::isGone(pid)) return false;
    return startToken(pid) == token;
}

}  // namespace nimbra::process_identity
