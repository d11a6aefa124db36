#include "daemon/daemon_helper.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <stdexcept>
#include <system_error>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "daemon/daemon_install_files.hpp"
#include "daemon/daemon_socket.hpp"
#include "daemon/packaged_daemon.hpp"

namespace nimbra::daemon_helper {
namespace {

namespace fs = std::filesystem;
using hostile_path::Refused;

// systemctl only talks to systemd, but runs as root: it sees none of the caller's environment.
const std::vector<std::string> kToolEnvironment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                                   "LANG=C.UTF-8"};
// Long enough for systemd to stop an old daemon that takes its tunnel down first.
constexpr std::chrono::seconds kToolTimeout{120};

struct ToolRun {
    bool succeeded = false;
    std::string output;
};

ToolRun systemctl(const Places& places, std::vector<std::string> arguments) {
    Subprocess::Options options;
    options.argv = {places.targets.systemctl};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment = kToolEnvironment;
    options.workingDirectory = "/";
    options.output = Subprocess::Output::joined;
    const auto result = Subprocess::run(std::move(options), kToolTimeout);
    return {result.status.succeeded() && !result.timedOut, std::string(text::trim(result.out))};
}

void systemctlOrThrow(const Places& places, std::vector<std::string> arguments) {
    std::string shown = "systemctl";
    for (const auto& argument : arguments) shown += " " + argument;
    const ToolRun run = systemctl(places, std::move(arguments));
    if (!run.succeeded) {
        throw std::runtime_error(shown + " failed" + (run.output.empty() ? "" : ": " + run.output));
    }
}

// The unit will run the packaged nimbrad as root: only a program no one but root can change.
void checkPackagedExecutable(const fs::path& executable) {
    const UniqueFd folder = hostile_path::openRootFolder(executable.parent_path(), false);
    struct stat info {};
    if (::fstatat(folder.get(), executable.filename().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        throw Refused(executable.string() + " is missing");
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (info.st_mode & S_IXUSR) == 0) {
        throw Refused(executable.string() + " is not a program only root can change");
    }
}

std::optional<UniqueFd> openRootFolderIfPresent(const fs::path& folder) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(folder, error))) return std::nullopt;
    return hostile_path::openRootFolder(folder, false);
}

}  // namespace

Places Places::standard() {
    Places places;
    places.targets.packagedExecutable = fs::path(kPackagedLibexec) / kPackagedDaemonName;
    places.socket = kDaemonSocket;
    return places;
}

PreparedInstall prepareInstall(const Places& places, const hostile_path::User& user,
                               const Request& request) {
    PreparedInstall prepared;
    // The unit points the daemon at this folder: it must be the user's own, reached without a link.
    hostile_path::openUserFolder(request.workDirectory, user);
    if (request.usque) {
        prepared.usque = hostile_path::openUserFile(*request.usque, user, kMaxUsqueSize);
    }
    if (!places.targets.packagedExecutable) throw Refused("no packaged nimbrad to run");
    checkPackagedExecutable(*places.targets.packagedExecutable);
    prepared.unit = systemd::unitFile(
        places.targets, {DaemonFiles::in(request.workDirectory), places.socket, user.uid});
    return prepared;
}

void install(const Places& places, const PreparedInstall& prepared) {
    const systemd::Targets& targets = places.targets;
    systemctl(places, {"stop", systemd::kUnitName});  // nothing to stop on a first install
    if (prepared.usque.valid()) {
        const UniqueFd libexec = hostile_path::openRootFolder(targets.libexecDirectory, true);
        hostile_path::replaceWithCopy(libexec.get(), targets.installedUsque().filename(),
                                      prepared.usque.get(), 0755, kMaxUsqueSize);
    }
    const UniqueFd units = hostile_path::openRootFolder(targets.unitDirectory, true);
    hostile_path::replaceWithText(units.get(), systemd::kUnitName, prepared.unit, 0644);
    systemctlOrThrow(places, {"daemon-reload"});
    systemctlOrThrow(places, {"enable", systemd::kUnitName});
    systemctlOrThrow(places, {"restart", systemd::kUnitName});
}

void uninstall(const Places& places) {
    const systemd::Targets& targets = places.targets;
    systemctl(places, {"disable", "--now", systemd::kUnitName});  // it may not be installed
    if (const auto units = openRootFolderIfPresent(targets.unitDirectory)) {
        hostile_path::removeIfPresent(units->get(), systemd::kUnitName);
    }
    if (const auto libexec = openRootFolderIfPresent(targets.libexecDirectory)) {
        hostile_path::removeIfPresent(libexec->get(), targets.installedUsque().filename());
        hostile_path::removeIfPresent(libexec->get(), "nimbrad");
    }
    systemctlOrThrow(places, {"daemon-reload"});
    systemctl(places, {"reset-failed", systemd::kUnitName});  // nothing failed is fine too
}

}  // namespace nimbra::daemon_helper
