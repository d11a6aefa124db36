// nimbra-daemon-helper: run as root through pkexec, it installs or removes Nimbra's daemon
// service for the user who ran pkexec. It trusts nothing that user chose: not the descriptors,
// environment or working directory it inherits, not its arguments, not the files they name.
//
// Exit status: 0 done; 2 refused (wrong arguments, not run by pkexec, a path or file that fails
// a check), with nothing changed; 1 a step failed. Never 126 or 127, which are pkexec's own.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "daemon/daemon_helper.hpp"
#include "daemon/daemon_helper_request.hpp"

using namespace nimbra;

namespace {

constexpr int kRefused = 2;
constexpr int kFailed = 1;

// Before anything else: no inherited descriptor reaches systemctl, no variable of the caller's
// steers a library or a tool, no umask of theirs loosens the files written.
std::optional<std::string> takeCleanStart() {
    ::close_range(3, ~0U, 0);
    ::umask(022);
    const char* uid = std::getenv("PKEXEC_UID");
    std::optional<std::string> pkexecUid = uid ? std::optional<std::string>(uid) : std::nullopt;
    ::clearenv();
    ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    if (::chdir("/") != 0) std::exit(kFailed);
    return pkexecUid;
}

int refused(const std::string& reason) {
    std::cerr << "nimbra-daemon-helper: refused: " << reason << "\n";
    return kRefused;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<std::string> pkexecUid = takeCleanStart();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const daemon_helper::Places places = daemon_helper::Places::standard();
    daemon_helper::Request request;
    hostile_path::User user;
    std::optional<daemon_helper::PreparedInstall> prepared;
    try {
        request = daemon_helper::parseArguments(arguments);
        user = daemon_helper::invokingUser(pkexecUid ? pkexecUid->c_str() : nullptr, ::geteuid());
        if (request.verb == daemon_helper::Request::Verb::install) {
            prepared = daemon_helper::prepareInstall(places, user, request);
        }
    } catch (const hostile_path::Refused& refusal) {
        return refused(refusal.what());
    } catch (const std::exception& failure) {
        return refused(failure.what());
    }
    try {
        if (prepared) {
            daemon_helper::install(places, *prepared);
        } else {
            daemon_helper::uninstall(places);
        }
    } catch (const std::exception& failure) {
        std::cerr << "nimbra-daemon-helper: " << failure.what() << "\n";
        return kFailed;
    }
    return 0;
}
