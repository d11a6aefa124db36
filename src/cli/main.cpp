// nimbra-cli: the Nimbra core without a window, for servers, scripts and end-to-end tests.

#include <cstdio>
#include <string_view>

#include "base/preference_store.hpp"
#include "base/version.hpp"
#include "cli/commands.hpp"
#include "engine/socks_lifecycle_self_test.hpp"

namespace {

void printUsage() {
    std::fputs(
        "usage: nimbra-cli <command>\n"
        "\n"
        "commands:\n"
        "  connect     connect in the configured mode and stay in the foreground;\n"
        "              prints every status change, disconnects cleanly on Ctrl-C\n"
        "  exit        show the exit address (directly and through a running usque)\n"
        "              and the latency of each exit gateway\n"
        "  prefs       print the stored preferences (after migration) as JSON\n"
        "  proxy       show which desktop proxy settings Nimbra uses and what they are\n"
        "  repair-network\n"
        "              put back proxy settings a stopped Nimbra left behind, or switch\n"
        "              off settings that still point at Nimbra's proxies; exit 0 when\n"
        "              nothing points at them afterwards\n"
        "  --verify-socks-lifecycle\n"
        "              start usque (or reuse a healthy one), check it, stop it, and report;\n"
        "              exit 0 behaved, 1 start failed, 2 no tunnel, 3 port still held\n"
        "  --version   print the version\n"
        "  --help      show this text\n",
        stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "--help";
    if (command == "--version" || command == "version") {
        std::printf("nimbra-cli %s\n", nimbra::kVersion);
        return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        printUsage();
        return 0;
    }
    if (command == "prefs") return nimbra::cli::printPreferences();
    if (command == "--verify-socks-lifecycle") {
        return nimbra::runSocksLifecycleSelfTest(nimbra::PreferenceStore::standard());
    }
    if (command == "connect") return nimbra::cli::connectInForeground();
    if (command == "exit") return nimbra::cli::printExitDiagnostics();
    if (command == "proxy") return nimbra::cli::printSystemProxy();
    if (command == "repair-network") return nimbra::cli::repairNetwork();

    std::fprintf(stderr, "nimbra-cli: unknown command '%.*s'\n\n", int(command.size()),
                 command.data());
    printUsage();
    return 2;
}
