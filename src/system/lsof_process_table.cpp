#include "system/lsof_process_table.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "system/platform_profile.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;

// lsof walks every open file of every process; on a busy Mac that takes a moment, but a tool
// that has not answered in this time is stuck, and the engine must not wait on it.
constexpr auto kToolTimeout = 5s;

bool validPort(int port) {
    return port >= 1 && port <= 65535;
}

// nullopt when the tool cannot be launched at all.
std::optional<Subprocess::RunResult> runTool(std::vector<std::string> argv) {
    Subprocess::Options options;
    options.argv = std::move(argv);
    options.output = Subprocess::Output::separate;
    try {
        return Subprocess::run(std::move(options), kToolTimeout);
    } catch (const SubprocessError&) {
        return std::nullopt;
    }
}

std::vector<std::string> listenQuery(const std::string& lsof, int port) {
    return {lsof, "-nP", "-iTCP:" + std::to_string(port), "-sTCP:LISTEN"};
}

// A pid line of `lsof -t`: a positive decimal 32-bit number, nothing else.
std::optional<pid_t> parsePid(std::string_view line) {
    std::int32_t value = 0;
    const char* end = line.data() + line.size();
    const auto [stop, error] = std::from_chars(line.data(), end, value, 10);
    if (line.empty() || error != std::errc{} || stop != end || value <= 0) return std::nullopt;
    return static_cast<pid_t>(value);
}

}  // namespace

LsofProcessTable::LsofProcessTable()
    : LsofProcessTable(Tools{PlatformProfile::current().lsof, PlatformProfile::current().ps}) {}

LsofProcessTable::LsofProcessTable(Tools tools) : tools_(std::move(tools)) {}

std::vector<pid_t> LsofProcessTable::listenerPids(int port) {
    std::vector<pid_t> pids;
    if (!validPort(port)) return pids;
    auto argv = listenQuery(tools_.lsof, port);
    argv.push_back("-t");
    const auto result = runTool(std::move(argv));
    if (!result || !result->status.succeeded()) return pids;
    for (const auto& line : text::splitLines(result->out)) {
        const auto pid = parsePid(text::trim(line));
        if (pid && std::find(pids.begin(), pids.end(), *pid) == pids.end()) pids.push_back(*pid);
    }
    return pids;
}

std::string LsofProcessTable::processArgs(pid_t pid) {
    if (pid <= 0) return "";
    const auto result = runTool({tools_.ps, "-p", std::to_string(pid), "-o", "args="});
    if (!result || !result->status.succeeded() || !text::isValidUtf8(result->out)) return "";
    return result->out;
}

std::string LsofProcessTable::listenerSnapshot(int port) {
    if (!validPort(port)) return "(none)";
    const auto result = runTool(listenQuery(tools_.lsof, port));
    // lsof's exit status says little here (it is 1 for "no match"), but a run we had to kill
    // produced no trustworthy picture.
    if (!result || result->timedOut) return "(lsof failed)";
    const std::string_view listing = text::trim(result->out);
    if (listing.empty()) return "(none)";
    std::string oneLine;
    for (const char c : listing) {
        if (c == '\n') {
            oneLine += " | ";
        } else {
            oneLine += c;
        }
    }
    return oneLine;
}

}  // namespace nimbra
