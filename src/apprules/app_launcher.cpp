#include "apprules/app_launcher.hpp"

#include <unistd.h>

#include "apprules/app_scope.hpp"
#include "apprules/detached_spawn.hpp"
#include "apprules/isolated_profile.hpp"
#include "apprules/launch_target.hpp"

namespace nimbra::apprules {
namespace {

const std::string kLoopback = "127.0.0.1:";

std::vector<std::string> ourEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    return env;
}

void setVariable(std::vector<std::string>& env, const std::string& name, const std::string& value) {
    const std::string prefix = name + "=";
    for (auto& entry : env) {
        if (entry.starts_with(prefix)) {
            entry = prefix + value;
            return;
        }
    }
    env.push_back(prefix + value);
}

// `flatpak run` takes its own options before the application id.
void insertFlatpakOptions(std::vector<std::string>& argv, const std::vector<std::string>& options) {
    argv.insert(argv.begin() + 2, options.begin(), options.end());
}

void addChromiumFlags(LaunchTarget& target, int socksPort) {
    const auto profile = ensureIsolatedProfile().string();
    if (target.flatpak) insertFlatpakOptions(target.argv, {"--filesystem=" + profile});
    target.argv.push_back("--proxy-server=socks5://" + kLoopback + std::to_string(socksPort));
    target.argv.push_back("--user-data-dir=" + profile);
}

void addProxyVariables(LaunchTarget& target, std::vector<std::string>& env, int socksPort,
                       int httpPort) {
    std::vector<std::string> flatpakOptions;
    for (const auto& [name, value] : proxyVariables(socksPort, httpPort)) {
        setVariable(env, name, value);
        flatpakOptions.push_back("--env=" + name + "=" + value);
    }
    if (target.flatpak) insertFlatpakOptions(target.argv, flatpakOptions);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> proxyVariables(int socksPort, int httpPort) {
    const std::string socks = "socks5h://" + kLoopback + std::to_string(socksPort);
    const std::string http = "http://" + kLoopback + std::to_string(httpPort);
    const std::string loopbackNames = "localhost,127.0.0.1,::1";
    return {{"ALL_PROXY", socks},        {"http_proxy", http},       {"https_proxy", http},
            {"all_proxy", socks},        {"HTTP_PROXY", http},       {"HTTPS_PROXY", http},
            {"no_proxy", loopbackNames}, {"NO_PROXY", loopbackNames}};
}

void launch(const AppRuleItem& item, int socksPort, int httpPort) {
    auto target = resolveLaunchTarget(item);
    DetachedCommand command;
    command.environment = ourEnvironment();
    command.workingDirectory = target.entry.workingDir;
    if (target.chromiumFamily) {
        addChromiumFlags(target, socksPort);
    } else {
        addProxyVariables(target, command.environment, socksPort, httpPort);
    }
    command.argv = std::move(target.terminalPrefix);
    command.argv.insert(command.argv.end(), target.argv.begin(), target.argv.end());
    // In a scope of its own, named after the app, per-app routing routes it by its rule from its
    // first packet on, as it does applications the desktop started.
    if (item.bundleId.empty()) {
        spawnDetached(command);
        return;
    }
    const std::string scope = appScopeName(item.bundleId);
    spawnDetached(command, [&scope](pid_t pid) { enterAppScope(scope, pid); });
}

}  // namespace nimbra::apprules
