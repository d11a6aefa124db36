#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nimbra::standin {

// A command line the real usque would reject; main() prints "Error: <what>" and exits 1.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One run of the stand-in: the command line, parsed the way usque parses it, plus the
// USQUE_STANDIN_* knobs from the environment (README.md lists them).
struct StandinOptions {
    enum class Command { registration, socks, nativetun, farEnd };
    Command command = Command::socks;

    // register / socks / nativetun flags.
    std::string configPath = "config.json";
    std::string deviceName;              // register -n
    std::string interfaceName = "tun0";  // nativetun -n
    bool acceptTos = false;
    std::string bindAddress = "0.0.0.0";
    std::uint16_t port = 1080;
    std::string keepalive = "30s";
    bool alwaysReconnect = false;
    bool http2 = false;

    // Knobs.
    std::chrono::milliseconds readyDelay{30};
    bool neverReady = false;
    std::string readyLine = "Connected to MASQUE server";
    std::vector<std::string> preLines;
    std::optional<std::string> exitEarlyLine;
    // The same, only when started without --http2: a network where QUIC does not get through.
    std::optional<std::string> quicExitEarlyLine;
    int exitCode = 1;
    std::string hosts;
    std::optional<std::chrono::milliseconds> lostAfter;
    int lostTimes = 1;  // 0: every time
    std::optional<std::string> registerFailure;
    // register: writes its pid to this file, then waits for a minute as if the provider never
    // answered.
    std::optional<std::string> registerHangMarker;
    bool leakListener = false;
    // nativetun: the socket of the server that makes the tunnel's far end in the provider's
    // namespace (far-end --socket), and whether the tunnel carries IPv6.
    std::string farEndSocket;
    bool noIpv6 = false;

    // Throws UsageError for a bad command line, std::invalid_argument for a bad knob.
    static StandinOptions parse(const std::vector<std::string>& args);
};

}  // namespace nimbra::standin
