#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Running a desktop's settings tool (networksetup, gsettings, kwriteconfig5, ...): one child per
// setting, never through a shell, standard output and standard error joined, each run limited in
// time so a wedged tool cannot hold up a disconnect or a quit.
namespace nimbra::settings_tool {

inline constexpr std::chrono::milliseconds kToolLimit{5'000};

// A read: the output when the tool ran (its exit status is not looked at) and printed valid
// UTF-8; nothing when it could not be launched, overran its limit or printed something else.
std::optional<std::string> read(std::vector<std::string> argv,
                                std::chrono::milliseconds limit = kToolLimit);

// A read of standard output alone, for tools that report unrelated trouble on standard error:
// the output when the tool exited 0 and printed valid UTF-8; nothing otherwise.
std::optional<std::string> readOutput(std::vector<std::string> argv,
                                      std::chrono::milliseconds limit = kToolLimit);

// A write that matters: the output (empty when not UTF-8) on exit status 0. Throws the launch
// error when the tool cannot run, and ProxyError CommandFailed otherwise: the tool's output when
// it printed any, else "<tool> failed (<status>)" ("<tool> failed (timed out)" on overrun), with
// <tool> the program's file name.
std::string write(std::vector<std::string> argv, std::chrono::milliseconds limit = kToolLimit);

// A best-effort write: whether it succeeded; never throws.
bool tryWrite(std::vector<std::string> argv, std::chrono::milliseconds limit = kToolLimit);

// While it lives, every tool run on this thread ends by `deadline`, and one that would start
// after it fails at once as if it had overrun: the quit paths restore within a bounded time.
class Deadline {
public:
    explicit Deadline(std::chrono::steady_clock::time_point deadline);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    std::optional<std::chrono::steady_clock::time_point> previous_;
};

}  // namespace nimbra::settings_tool
