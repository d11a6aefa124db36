#include "nimbrad/daemon_arguments.hpp"

#include <CLI/CLI.hpp>
#include <vector>

#include "nimbrad/dns_upstream.hpp"

namespace nimbra::nimbrad {
namespace {

// The service definition spells long options with one dash; CLI11 wants two.
std::vector<std::string> withDoubleDashes(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = argc - 1; i >= 1; --i) {  // CLI11 takes them in reverse order
        std::string arg = argv[i];
        if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-') arg.insert(0, "-");
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace

std::variant<DaemonSettings, ArgumentsOutcome> parseDaemonArguments(int argc,
                                                                    const char* const* argv) {
    DaemonSettings settings;
    CLI::App app("nimbrad: the privileged daemon of Nimbra's whole-machine tunnel", "nimbrad");
    std::string config, registration, socket, log, usque, state, resolv;
    app.add_option("--config", config, "config.yml written by the client")->required();
    app.add_option("--usque-config", registration, "usque's registration file")->required();
    app.add_option("--sock", socket, "control socket")->capture_default_str();
    app.add_option("--listen", settings.listen, "DNS forwarder address (IP:port)")
        ->capture_default_str()
        ->check([](const std::string& value) {
            const auto parsed = DnsUpstream::parse(value);
            return parsed && parsed->address.is_loopback() ? std::string()
                                                           : "must be a loopback IP:port";
        });
    app.add_option("--log", log, "log file (also logged to standard error)");
    app.add_option("--allow-uid", settings.allowedUids,
                   "a user who may send every command; the first one's files "
                   "are read and written with that user's rights");
    app.add_option("--usque", usque, "the usque program (root-owned)");
    app.add_option("--state-dir", state, "where undo journals are kept");
    app.add_option("--resolv-conf", resolv, "resolver file managed without systemd-resolved");
    try {
        app.parse(withDoubleDashes(argc, argv));
    } catch (const CLI::ParseError& error) {
        return ArgumentsOutcome{error.get_exit_code() == 0 ? app.help() : error.what(),
                                error.get_exit_code() == 0 ? 0 : 2};
    }
    settings.configFile = config;
    settings.registrationFile = registration;
    if (!socket.empty()) settings.socketPath = socket;
    if (!log.empty()) settings.logFile = log;
    if (!usque.empty()) settings.usqueProgram = usque;
    if (!state.empty()) settings.stateDirectory = state;
    if (!resolv.empty()) settings.resolvConf = resolv;
    return settings;
}

}  // namespace nimbra::nimbrad
