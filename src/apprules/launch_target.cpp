#include "apprules/launch_target.hpp"

#include <glib.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string_view>
#include <utility>

#include "apprules/chromium_family.hpp"
#include "apprules/exec_command_line.hpp"

namespace nimbra::apprules {
namespace {

using Kind = AppLaunchError::Kind;

// Debian's alternative first, then terminals whose option takes the rest of the command line
// as the program and its arguments.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kTerminals{{
    {"x-terminal-emulator", "-e"},
    {"gnome-terminal", "--"},
    {"konsole", "-e"},
    {"xfce4-terminal", "-x"},
    {"alacritty", "-e"},
    {"xterm", "-e"},
}};

bool onPath(std::string_view program) {
    gchar* found = g_find_program_in_path(std::string(program).c_str());
    g_free(found);
    return found != nullptr;
}

// A program given by path only has to exist here: whether it can be executed is the exec's to
// report, with its own reason.
bool programExists(const std::string& program) {
    if (program.find('/') != std::string::npos) return ::access(program.c_str(), F_OK) == 0;
    return onPath(program);
}

std::vector<std::string> terminalPrefix(const std::string& path) {
    for (const auto& [program, option] : kTerminals) {
        if (onPath(program)) return {std::string(program), std::string(option)};
    }
    throw AppLaunchError(Kind::noTerminal, path);
}

bool runsThrough(const std::vector<std::string>& argv, std::string_view tool) {
    return argv.size() > 1 && std::filesystem::path(argv[0]).filename() == tool && argv[1] == "run";
}

bool isSnap(const std::vector<std::string>& argv) {
    for (const auto& arg : argv) {
        if (arg.starts_with("/snap/bin/")) return true;
    }
    return runsThrough(argv, "snap");
}

DesktopEntry readEntry(const AppRuleItem& item) {
    std::error_code error;
    if (!std::filesystem::exists(item.appPath, error))
        throw AppLaunchError(Kind::notFound, item.appPath);
    auto entry = readDesktopEntry(item.appPath, item.bundleId, "");
    if (!entry || entry->type != "Application")
        throw AppLaunchError(Kind::unlaunchable, item.appPath);
    return std::move(*entry);
}

}  // namespace

LaunchTarget resolveLaunchTarget(const AppRuleItem& item) {
    LaunchTarget target;
    target.entry = readEntry(item);
    target.argv = execArguments(target.entry);
    if (!programExists(target.argv.front())) throw AppLaunchError(Kind::notFound, item.appPath);
    target.chromiumFamily = isChromiumOrElectronApp(item);
    if (target.chromiumFamily && isSnap(target.argv))
        throw AppLaunchError(Kind::confined, item.appPath);
    target.flatpak = runsThrough(target.argv, "flatpak");
    if (target.entry.terminal) target.terminalPrefix = terminalPrefix(item.appPath);
    return target;
}

std::optional<AppLaunchError> launchObstacle(const AppRuleItem& item) {
    try {
        resolveLaunchTarget(item);
        return std::nullopt;
    } catch (const AppLaunchError& error) {
        return error;
    }
}

}  // namespace nimbra::apprules
