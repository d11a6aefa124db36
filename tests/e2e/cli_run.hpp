#pragma once

// What the end-to-end tests share: one run of nimbra-cli read line by line, curl through a
// proxy, and checks on listeners and line order.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "base/subprocess.hpp"
#include "support/line_reader.hpp"

namespace nimbra::e2e {

using namespace std::chrono_literals;

// Generous on purpose: a hang shows up as a failed wait, never as a race against the clock.
constexpr std::chrono::milliseconds kWait = 120s;

constexpr const char* kTraceUrl = "https://www.cloudflare.com/cdn-cgi/trace";

// One run of a nimbra-cli command, its stdout read line by line. Its stderr (a few log lines)
// stays in the pipe until the run ends.
class CliRun {
public:
    // `prefix` goes before the program, e.g. `ip netns exec NAME` (which execs it: same pid).
    explicit CliRun(const std::vector<std::string>& args,
                    const std::vector<std::string>& prefix = {});
    // A run a failed test leaves behind gets SIGTERM first, so it still stops its usque.
    ~CliRun();

    // Reads on from the last line read until one contains `needle`.
    bool waitFor(std::string_view needle) { return out_.waitFor(needle, kWait).has_value(); }
    void signal(int sig) { process_.signal(sig); }
    bool running() { return process_.running(); }

    // Waits for the exit and the last line of both streams; returns the exit code.
    int finish();

    const std::vector<std::string>& lines() const { return out_.lines(); }
    const std::string& err() const { return err_; }
    std::string transcript() const { return out_.transcript() + "\n--- stderr\n" + err_; }

private:
    Subprocess process_;
    testing::LineReader out_;
    std::string err_;
};

// What curl printed for `url` (body or error), trusting the test CA.
std::string curl(const std::string& url, const std::string& proxy);

bool listening(int port);

// Whether `expected` appear in `lines` in this order (other lines may come between).
bool inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected);

}  // namespace nimbra::e2e
