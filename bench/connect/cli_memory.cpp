// The command-line client's footprint while it holds a connection and does nothing else: the
// whole program as users run it on a server, with the usque stand-in as the tunnel and the
// trace-server stand-in as the provider's trace endpoint.

#include "cli_memory.hpp"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "model/preference_keys.hpp"
#include "support/line_reader.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra::bench {
namespace {

using namespace std::chrono_literals;

ResidentMemory residentMemoryOf(pid_t pid) {
    ResidentMemory memory;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmRSS:")) memory.rssKiB = std::stol(line.substr(6));
        if (line.starts_with("VmHWM:")) memory.hwmKiB = std::stol(line.substr(6));
    }
    return memory;
}

// The child of `parent` whose command name is `name`: usque is started by the engine, not by us.
std::optional<pid_t> childNamed(pid_t parent, const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        // "<pid> (<comm>) <state> <ppid> ...": the name may hold spaces, so cut at the last ')'.
        const auto open = text.find('(');
        const auto close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
        if (ppid == parent && text.substr(open + 1, close - open - 1) == name) {
            return static_cast<pid_t>(std::stol(pid));
        }
    }
    return std::nullopt;
}

// Only what the client needs, so it neither sees a desktop session nor writes to one.
std::vector<std::string> clientEnvironment(const testing::UsqueTestHome& home, int tracePort) {
    const std::string dir = home.home().string();
    return {
        "HOME=" + dir,
        "PATH=" NIMBRA_STANDIN_DIR ":/usr/bin:/bin",
        "XDG_CONFIG_HOME=" + dir + "/.config",
        "XDG_DATA_HOME=" + dir + "/.local/share",
        "NIMBRA_PREFERENCES_FILE=" + dir + "/preferences.json",
        "USQUE_STANDIN_HOSTS=www.cloudflare.com=127.0.0.1:" + std::to_string(tracePort),
    };
}

}  // namespace

CliMemory measureCliMemory(const std::string& cliProgram, int idleSeconds) {
    CliMemory result;
    testing::TraceServerProcess traceServer;
    // Writes .curlrc (trusting the test CA) and socks_port in the preferences.
    testing::UsqueTestHome home;
    home.writeRegistration();
    home.store().setInteger(prefkey::httpProxyPort, testing::freeLoopbackPort());

    Subprocess::Options options;
    options.argv = {cliProgram, "connect", "--mode", "socks"};
    options.environment = clientEnvironment(home, traceServer.tcpPort());
    options.output = Subprocess::Output::joined;
    Subprocess client = Subprocess::start(std::move(options));
    testing::LineReader output(client.releaseStdout());

    if (output.waitFor("Exit:", 60s)) {
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        result.cli = residentMemoryOf(client.pid());
        if (const auto usque = childNamed(client.pid(), "usque")) {
            result.usque = residentMemoryOf(*usque);
        }
    } else {
        result.failure = "nimbra-cli did not report an exit:\n" + output.transcript();
    }

    client.signal(SIGTERM);
    // Draining the output lets a client that prints while it disconnects reach its end.
    output.readToEnd(30s);
    const auto status = client.wait(30s);
    if (!status) {
        client.kill();
        client.wait();
    }
    if (result.failure.empty() && !status) {
        result.failure = "nimbra-cli did not end within 30 s of SIGTERM";
    } else if (result.failure.empty() && !status->succeeded()) {
        result.failure = "nimbra-cli ended with status " + std::to_string(status->code) +
                         " after SIGTERM:\n" + output.transcript();
    }
    return result;
}

}  // namespace nimbra::bench
