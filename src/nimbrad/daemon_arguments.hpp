#pragma once

#include <string>
#include <variant>

#include "nimbrad/daemon_settings.hpp"

namespace nimbra::nimbrad {

// What the command line asks for: the settings to run with, or a text to print and the exit
// status (help, or what is wrong with the arguments).
struct ArgumentsOutcome {
    std::string message;
    int exitCode = 0;
};

// Takes the service's style of options ("-config PATH") as well as "--config PATH":
//   -config -usque-config -sock -listen -log -allow-uid (repeatable) -usque -state-dir -resolv-conf
std::variant<DaemonSettings, ArgumentsOutcome> parseDaemonArguments(int argc,
                                                                    const char* const* argv);

}  // namespace nimbra::nimbrad
