// The stand-in usque for the tests: same command line, same log lines, same exit statuses as the
// real MASQUE client, with a plain SOCKS5 relay (socks) or a pair of TUN interfaces (nativetun) in
// place of the tunnel. README.md has the knobs.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "far_end.hpp"
#include "log.hpp"
#include "nativetun_command.hpp"
#include "registration.hpp"
#include "socks_command.hpp"
#include "standin_options.hpp"

int main(int argc, char** argv) {
    using namespace nimbra::standin;
    try {
        const auto options = StandinOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
        switch (options.command) {
            case StandinOptions::Command::registration:
                return runRegister(options);
            case StandinOptions::Command::nativetun:
                return runNativeTun(options);
            case StandinOptions::Command::farEnd:
                return runFarEnd(options.farEndSocket);
            case StandinOptions::Command::socks:
                break;
        }
        return runSocks(options);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
    } catch (const std::exception& error) {
        logLine(std::string("Error: ") + error.what());
    }
    return 1;
}
