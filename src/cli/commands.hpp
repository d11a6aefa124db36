#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/app_rule_item.hpp"
#include "model/connection_mode.hpp"

namespace nimbra::cli {

// `nimbra-cli connect` flags; they apply to this run only and are never stored.
struct ConnectOptions {
    std::optional<ConnectionMode> mode;
    std::optional<bool> http2;
    bool traffic = false;  // print the traffic figures once a tick while connected
};

// What `nimbra-cli gateway` accepts; an empty name only shows the gateways.
inline const std::vector<std::string> kGatewayNames{"direct", "us-fremont", "fastest"};

// The round trip to each exit gateway in ms (-1: no answer), keyed by its prefix.
std::map<std::string, int> measureGatewayLatencies();

// Each returns the process exit code.
int printPreferences();
int connectInForeground(const ConnectOptions& options);
int printExitDiagnostics();
int printSystemProxy();
int repairNetwork();
int runGatewayCommand(const std::string& name);
int installDaemon();
int printDaemonStatus();
int uninstallDaemon();
// `daemon dns MODE [VALUE]`, `daemon exclude|include TARGET`, `daemon china-direct on|off`.
int setDaemonDns(const std::string& mode, const std::optional<std::string>& value);
int changeDaemonExclude(const std::string& target, bool add);
int setDaemonChinaDirect(bool on);
// `apps [list]`, `apps set ID TARGET`, `apps remove ID`, `apps default TARGET`, `apps launch ID`;
// ID is the application's desktop id.
int listApps();
int setAppRule(const std::string& id, AppRuleTarget target);
int removeAppRule(const std::string& id);
int setAppDefault(AppRuleTarget target);
int launchApp(const std::string& id);

// Why `connect --mode tun` cannot start here: no nimbrad answers and no administrator prompt
// can be shown to install it. Nothing when it can go ahead.
std::optional<std::string> realTunInstallBlocker();

}  // namespace nimbra::cli
