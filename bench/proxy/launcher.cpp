#include "launcher.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "loopback.hpp"

namespace nimbra::bench {
namespace {

// danted and privoxy live in sbin, which a user's PATH often lacks.
constexpr std::string_view kSystemDirs = ":/usr/local/sbin:/usr/sbin:/sbin";

std::string loopbackPort(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

}  // namespace

Launcher::Launcher(std::filesystem::path serverProgram) : serverProgram_(std::move(serverProgram)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimbra-proxy-bench-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
    workDir_ = pattern;
}

Launcher::~Launcher() {
    std::error_code ignored;
    std::filesystem::remove_all(workDir_, ignored);
}

bool Launcher::has(std::string_view program) const {
    return locate(program).has_value();
}

std::optional<std::filesystem::path> Launcher::locate(std::string_view program) const {
    if (program == "bench_proxy_server") {
        if (std::filesystem::exists(serverProgram_)) return serverProgram_;
        return std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs((path ? path : "") + std::string(kSystemDirs));
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const auto candidate = std::filesystem::path(dir) / program;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::filesystem::path Launcher::writeConfig(const std::string& name, int port,
                                            std::initializer_list<std::string> lines) {
    const auto file = workDir_ / (name + "-" + std::to_string(port) + ".conf");
    std::ofstream out(file);
    for (const auto& line : lines) out << line << '\n';
    return file;
}

ChildProcess Launcher::launch(std::string_view program, std::vector<std::string> arguments,
                              int port) {
    const auto path = locate(program);
    if (!path) throw std::runtime_error(std::string(program) + " not found");
    arguments.insert(arguments.begin(), path->string());
    const auto log = workDir_ / (std::string(program) + "-" + std::to_string(port) + ".log");
    ChildProcess child(arguments, log);
    if (!waitForListener(port, std::chrono::seconds(5))) {
        throw std::runtime_error(std::string(program) + " never listened on port " +
                                 std::to_string(port) + "; its log ends:\n" + child.logTail());
    }
    return child;
}

ChildProcess Launcher::microsocks(int port) {
    return launch("microsocks", {"-i", "127.0.0.1", "-p", std::to_string(port)}, port);
}

ChildProcess Launcher::danted(int port) {
    const auto config = writeConfig("danted", port,
                                    {
                                        "logoutput: stderr",
                                        "internal: 127.0.0.1 port = " + std::to_string(port),
                                        "external: 127.0.0.1",
                                        "clientmethod: none",
                                        "socksmethod: none",
                                        "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }",
                                        "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }",
                                    });
    const auto pidFile = workDir_ / ("danted-" + std::to_string(port) + ".pid");
    return launch("danted", {"-f", config.string(), "-p", pidFile.string()}, port);
}

ChildProcess Launcher::privoxy(int port, int socksPort) {
    // No actions or filters files: nothing is rewritten and CONNECT is allowed to every port.
    const auto config = writeConfig("privoxy", port,
                                    {
                                        "confdir " + workDir_.string(),
                                        "logdir " + workDir_.string(),
                                        "listen-address " + loopbackPort(port),
                                        "forward-socks5 / " + loopbackPort(socksPort) + " .",
                                        "max-client-connections 4096",
                                        "keep-alive-timeout 60",
                                        "socket-timeout 60",
                                    });
    return launch("privoxy", {"--no-daemon", config.string()}, port);
}

ChildProcess Launcher::tinyproxy(int port, int socksPort) {
    // No ConnectPort line: CONNECT is allowed to every port.
    const auto config = writeConfig("tinyproxy", port,
                                    {
                                        "Port " + std::to_string(port),
                                        "Listen 127.0.0.1",
                                        "Timeout 600",
                                        "MaxClients 4096",
                                        "LogLevel Error",
                                        "upstream socks5 " + loopbackPort(socksPort),
                                    });
    return launch("tinyproxy", {"-d", "-c", config.string()}, port);
}

ChildProcess Launcher::gateway(int port) {
    return launch("bench_proxy_server", {"gateway", std::to_string(port)}, port);
}

ChildProcess Launcher::relay(int port, int socksPort) {
    return launch("bench_proxy_server", {"relay", std::to_string(port), std::to_string(socksPort)},
                  port);
}

}  // namespace nimbra::bench
