#include "standin_options.hpp"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace nimbra::standin {
namespace {

std::optional<std::string> knob(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, Number max) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > max) {
        return std::nullopt;
    }
    return value;
}

int numberKnob(const char* name, int fallback) {
    const auto text = knob(name);
    if (!text) return fallback;
    const auto value = parseNumber<int>(*text, std::numeric_limits<int>::max());
    if (!value) throw std::invalid_argument(std::string(name) + ": not a number: " + *text);
    return *value;
}

void readKnobs(StandinOptions& options) {
    using std::chrono::milliseconds;
    options.readyDelay = milliseconds(numberKnob("USQUE_STANDIN_READY_DELAY_MS", 30));
    const auto never = knob("USQUE_STANDIN_NEVER_READY");
    options.neverReady = never && !never->empty() && *never != "0";
    if (auto line = knob("USQUE_STANDIN_READY_LINE")) options.readyLine = *line;
    if (auto lines = knob("USQUE_STANDIN_PRE_LINES")) {
        std::string_view rest = *lines;
        while (!rest.empty()) {
            const auto end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!line.empty()) options.preLines.emplace_back(line);
        }
    }
    options.exitEarlyLine = knob("USQUE_STANDIN_EXIT_EARLY");
    options.quicExitEarlyLine = knob("USQUE_STANDIN_QUIC_EXIT_EARLY");
    options.exitCode = numberKnob("USQUE_STANDIN_EXIT_CODE", 1);
    options.hosts = knob("USQUE_STANDIN_HOSTS").value_or("");
    if (knob("USQUE_STANDIN_LOST_AFTER_MS")) {
        options.lostAfter = milliseconds(numberKnob("USQUE_STANDIN_LOST_AFTER_MS", 0));
    }
    options.lostTimes = numberKnob("USQUE_STANDIN_LOST_TIMES", 1);
    options.registerFailure = knob("USQUE_STANDIN_REGISTER_FAIL");
    options.registerHangMarker = knob("USQUE_STANDIN_REGISTER_HANG");
    options.leakListener = knob("USQUE_STANDIN_LEAK_LISTENER") == "1";
    if (auto socket = knob("USQUE_STANDIN_FAR_END")) options.farEndSocket = *socket;
    options.noIpv6 = knob("USQUE_STANDIN_NO_IPV6") == "1";
}

}  // namespace

StandinOptions StandinOptions::parse(const std::vector<std::string>& args) {
    StandinOptions options;
    if (args.empty()) throw UsageError("missing command (register, socks or nativetun)");
    if (args[0] == "register") {
        options.command = Command::registration;
    } else if (args[0] == "nativetun") {
        options.command = Command::nativetun;
    } else if (args[0] == "far-end") {
        // Not usque's: the server the namespace world runs for nativetun's far end.
        options.command = Command::farEnd;
    } else if (args[0] != "socks") {
        throw UsageError("unknown command \"" + args[0] + "\" for \"usque\"");
    }
    const bool socks = options.command == Command::socks;
    const bool tun = options.command == Command::nativetun;
    const bool registering = options.command == Command::registration;

    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = flag.find('=');
            flag.starts_with("-") && equals != std::string::npos) {
            inlineValue = flag.substr(equals + 1);
            flag.resize(equals);
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (++i >= args.size()) throw UsageError("flag needs an argument: " + flag);
            return args[i];
        };
        auto is = [&](std::string_view shortName, std::string_view longName) {
            return flag == shortName || flag == longName;
        };

        if (is("-c", "--config")) {
            options.configPath = value();
        } else if (tun && is("-n", "--interface-name")) {
            options.interfaceName = value();
        } else if (registering && flag == "-n") {
            options.deviceName = value();
        } else if (registering && flag == "-a") {
            options.acceptTos = true;
        } else if (socks && is("-b", "--bind")) {
            options.bindAddress = value();
        } else if (socks && is("-p", "--port")) {
            const std::string text = value();
            const auto port = parseNumber<int>(text, 65535);
            if (!port) throw UsageError("invalid port \"" + text + "\"");
            options.port = static_cast<std::uint16_t>(*port);
        } else if ((socks || tun) && flag == "-k") {
            options.keepalive = value();
        } else if (socks && flag == "--always-reconnect") {
            options.alwaysReconnect = true;
        } else if (options.command == Command::farEnd && flag == "--socket") {
            options.farEndSocket = value();
        } else if ((socks || tun) && flag == "--http2") {
            options.http2 = true;
        } else {
            throw UsageError("unknown flag: " + flag);
        }
    }
    readKnobs(options);
    return options;
}

}  // namespace nimbra::standin
