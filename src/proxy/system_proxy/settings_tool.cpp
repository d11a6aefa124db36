#include "proxy/system_proxy/settings_tool.hpp"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "proxy/system_proxy/proxy_error.hpp"

namespace nimbra::settings_tool {
namespace {

using Clock = std::chrono::steady_clock;

thread_local std::optional<Clock::time_point> tDeadline;

// The time a run may take: its own limit, cut short by the thread's deadline.
std::chrono::milliseconds allowed(std::chrono::milliseconds limit) {
    if (!tDeadline) return limit;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*tDeadline - Clock::now());
    return std::min(limit, left);
}

Subprocess::RunResult run(std::vector<std::string> argv, std::chrono::milliseconds limit,
                          Subprocess::Output output = Subprocess::Output::joined) {
    limit = allowed(limit);
    if (limit <= std::chrono::milliseconds::zero()) {
        Subprocess::RunResult overrun;
        overrun.timedOut = true;
        return overrun;
    }
    Subprocess::Options options;
    options.argv = std::move(argv);
    options.output = output;
    return Subprocess::run(std::move(options), limit);
}

}  // namespace

std::optional<std::string> read(std::vector<std::string> argv, std::chrono::milliseconds limit) {
    try {
        auto result = run(std::move(argv), limit);
        if (result.timedOut || !text::isValidUtf8(result.out)) return std::nullopt;
        return std::move(result.out);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> readOutput(std::vector<std::string> argv,
                                      std::chrono::milliseconds limit) {
    try {
        auto result = run(std::move(argv), limit, Subprocess::Output::separate);
        if (result.timedOut || !result.status.succeeded() || !text::isValidUtf8(result.out)) {
            return std::nullopt;
        }
        return std::move(result.out);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string write(std::vector<std::string> argv, std::chrono::milliseconds limit) {
    const std::string tool = std::filesystem::path(argv.empty() ? "" : argv[0]).filename();
    auto result = run(std::move(argv), limit);
    const bool utf8 = text::isValidUtf8(result.out);
    if (!result.timedOut && result.status.code == 0) return utf8 ? std::move(result.out) : "";
    if (result.timedOut) {
        throw ProxyError(ProxyError::CommandFailed{tool + " failed (timed out)"});
    }
    if (utf8 && !result.out.empty()) throw ProxyError(ProxyError::CommandFailed{result.out});
    throw ProxyError(
        ProxyError::CommandFailed{tool + " failed (" + std::to_string(result.status.code) + ")"});
}

bool tryWrite(std::vector<std::string> argv, std::chrono::milliseconds limit) {
    try {
        write(std::move(argv), limit);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

Deadline::Deadline(Clock::time_point deadline) : previous_(tDeadline) {
    tDeadline = previous_ ? std::min(*previous_, deadline) : deadline;
}

Deadline::~Deadline() {
    tDeadline = previous_;
}

}  // namespace nimbra::settings_tool
