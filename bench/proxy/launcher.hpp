#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.hpp"

namespace nimbra::bench {

// Starts the proxies under test on 127.0.0.1: the Debian peers found on PATH, configured through
// files in a private work directory, and ours through bench_proxy_server. Every start returns
// once the proxy accepts connections, and throws with the proxy's log when it never does.
class Launcher {
public:
    explicit Launcher(std::filesystem::path serverProgram);
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;
    ~Launcher();

    // A peer's name ("danted") or "bench_proxy_server".
    bool has(std::string_view program) const;

    ChildProcess microsocks(int port);
    ChildProcess danted(int port);
    ChildProcess privoxy(int port, int socksPort);
    ChildProcess tinyproxy(int port, int socksPort);
    ChildProcess gateway(int port);
    ChildProcess relay(int port, int socksPort);

private:
    std::optional<std::filesystem::path> locate(std::string_view program) const;
    std::filesystem::path writeConfig(const std::string& name, int port,
                                      std::initializer_list<std::string> lines);
    ChildProcess launch(std::string_view program, std::vector<std::string> arguments, int port);

    std::filesystem::path serverProgram_;
    std::filesystem::path workDir_;
};

}  // namespace nimbra::bench
