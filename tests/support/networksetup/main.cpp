// The stand-in networksetup for the tests: macOS's proxy commands with the real tool's output,
// settings kept per service in a JSON file between runs, every call logged. README.md has the
// environment knobs.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using Args = std::vector<std::string>;

// A refusal: the message goes to the output, the tool exits 1.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void appendLog(const Args& args) {
    const std::string path = env("NETWORKSETUP_LOG");
    if (path.empty()) return;
    std::string line;
    for (const auto& arg : args) line += (line.empty() ? "" : " ") + arg;
    std::ofstream(path, std::ios::app) << line << '\n';
}

bool failureRequested(const std::string& command) {
    std::stringstream list(env("NETWORKSETUP_FAIL"));
    std::string item;
    while (std::getline(list, item, ',')) {
        if (item == command) return true;
    }
    return false;
}

json loadState(const std::string& path) {
    std::ifstream in(path);
    if (!in) return json{{"services", {"Wi-Fi"}}, {"settings", json::object()}};
    return json::parse(in);
}

void saveState(const std::string& path, const json& state) {
    const std::string temporary = path + ".tmp";
    std::ofstream(temporary) << state.dump(2) << '\n';
    std::filesystem::rename(temporary, path);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool onOff(const std::string& word) {
    const std::string folded = lower(word);
    if (folded == "on") return true;
    if (folded == "off") return false;
    throw Refused(word + " is not a valid state. Use on or off.");
}

std::string yesNo(bool on) {
    return on ? "Yes" : "No";
}

class Networksetup {
public:
    explicit Networksetup(json state) : state_(std::move(state)) {}

    // Runs one command; returns whether the settings changed.
    bool run(const Args& args) {
        const std::string& command = args.at(0);
        if (command == "-listallnetworkservices") {
            std::cout << "An asterisk (*) denotes that a network service is disabled.\n";
            for (const auto& service : state_["services"]) {
                std::cout << service.get<std::string>() << '\n';
            }
            return false;
        }
        static const std::map<std::string, std::string> kinds{
            {"webproxy", "web"},
            {"securewebproxy", "secureWeb"},
            {"socksfirewallproxy", "socks"},
        };
        for (const auto& [suffix, kind] : kinds) {
            if (command == "-get" + suffix) return getProxy(args, kind);
            if (command == "-set" + suffix) return setProxy(args, kind);
            if (command == "-set" + suffix + "state") {
                json& settings = settingsOf(args, 3);
                settings[kind]["enabled"] = onOff(args[2]);
                return true;
            }
        }
        if (command == "-getautoproxyurl") {
            json& settings = settingsOf(args, 2);
            const std::string url = settings.value("autoProxyUrl", "");
            std::cout << "URL: " << (url.empty() ? "(null)" : url)
                      << "\nEnabled: " << yesNo(settings.value("autoProxyEnabled", false)) << '\n';
            return false;
        }
        if (command == "-setautoproxyurl") {
            json& settings = settingsOf(args, 3);
            settings["autoProxyUrl"] = args[2];
            settings["autoProxyEnabled"] = true;
            return true;
        }
        if (command == "-setautoproxystate") {
            json& settings = settingsOf(args, 3);
            settings["autoProxyEnabled"] = onOff(args[2]);
            return true;
        }
        if (command == "-getproxyautodiscovery") {
            const bool on = settingsOf(args, 2).value("autoDiscovery", false);
            std::cout << "Automatic Proxy Discovery: " << (on ? "On" : "Off") << '\n';
            return false;
        }
        if (command == "-setproxyautodiscovery") {
            json& settings = settingsOf(args, 3);
            settings["autoDiscovery"] = onOff(args[2]);
            return true;
        }
        if (command == "-getproxybypassdomains") {
            const auto domains = settingsOf(args, 2).value("bypassDomains", Args{});
            if (domains.empty()) {
                std::cout << "There aren't any bypass domains set on " << args[1] << ".\n";
            }
            for (const auto& domain : domains) std::cout << domain << '\n';
            return false;
        }
        if (command == "-setproxybypassdomains") {
            json& settings = settingsOf(args, std::max<std::size_t>(args.size(), 3));
            Args domains(args.begin() + 2, args.end());
            if (domains == Args{"Empty"}) domains.clear();
            settings["bypassDomains"] = domains;
            return true;
        }
        throw Refused("** Error: Unknown command " + command);
    }

    const json& state() const { return state_; }

private:
    // The settings of the service named by args[1]; `count` is the number of arguments the
    // command takes, command included.
    json& settingsOf(const Args& args, std::size_t count) {
        if (args.size() != count) throw Refused("** Error: The parameters were not valid.");
        const std::string& service = args[1];
        bool known = false;
        for (const auto& listed : state_["services"]) {
            const auto name = listed.get<std::string>();
            known = known || name == service || name == "*" + service;
        }
        if (!known) {
            throw Refused(service +
                          " is not a recognized network service.\n** Error: The parameters were "
                          "not valid.");
        }
        json& settings = state_["settings"][service];
        if (!settings.is_object()) settings = json::object();
        return settings;
    }

    bool getProxy(const Args& args, const std::string& kind) {
        const json proxy = settingsOf(args, 2).value(kind, json::object());
        std::cout << "Enabled: " << yesNo(proxy.value("enabled", false))
                  << "\nServer: " << proxy.value("server", "")
                  << "\nPort: " << proxy.value("port", 0) << "\nAuthenticated Proxy Enabled: 0\n";
        return false;
    }

    // -set...proxy <service> <server> <port> [on|off <user> <password>]; like the real tool,
    // setting a server also switches the proxy on.
    bool setProxy(const Args& args, const std::string& kind) {
        json& proxy = settingsOf(args, args.size() == 7 ? 7 : 4)[kind];
        const std::string& port = args[3];
        if (port.empty() || !std::all_of(port.begin(), port.end(),
                                         [](unsigned char c) { return std::isdigit(c) != 0; })) {
            throw Refused("** Error: " + port + " is not a valid port number.");
        }
        proxy["server"] = args[2];
        proxy["port"] = std::stoi(port);
        proxy["enabled"] = true;
        return true;
    }

    json state_;
};

}  // namespace

int main(int argc, char** argv) {
    const Args args(argv + 1, argv + argc);
    appendLog(args);
    if (args.empty()) {
        std::cout << "Usage: networksetup -<command> <args>\n";
        return 1;
    }
    if (failureRequested(args[0])) {
        std::cout << "** Error: Unable to commit changes to network database.\n";
        return 1;
    }
    const std::string statePath = env("NETWORKSETUP_STATE");
    if (statePath.empty()) {
        std::cout << "** Error: NETWORKSETUP_STATE is not set.\n";
        return 1;
    }
    try {
        Networksetup tool(loadState(statePath));
        if (tool.run(args)) saveState(statePath, tool.state());
        return 0;
    } catch (const Refused& refused) {
        std::cout << refused.what() << '\n';
    } catch (const std::exception& error) {
        std::cout << "** Error: " << error.what() << '\n';
    }
    return 1;
}
