#include "apprules/exec_command_line.hpp"

#include <glib.h>

#include <optional>
#include <string_view>

#include "apprules/app_launch_error.hpp"

namespace nimbra::apprules {
namespace {

// The format's quoting (double quotes, backslash escapes inside them) is the part of the
// shell's that GLib's parser implements; it expands nothing.
std::optional<std::vector<std::string>> splitQuoted(const std::string& line) {
    gint count = 0;
    gchar** words = nullptr;
    if (!g_shell_parse_argv(line.c_str(), &count, &words, nullptr)) return std::nullopt;
    std::vector<std::string> argv(words, words + count);
    g_strfreev(words);
    return argv;
}

bool isDroppedCode(char code) {
    return std::string_view("fFuUdDnNvm").find(code) != std::string_view::npos;
}

// Expands the codes inside one argument. None for an unknown or dangling code.
std::optional<std::string> expandInline(std::string_view arg, const DesktopEntry& entry) {
    std::string out;
    for (std::size_t i = 0; i < arg.size(); ++i) {
        if (arg[i] != '%') {
            out += arg[i];
            continue;
        }
        if (++i == arg.size()) return std::nullopt;
        const char code = arg[i];
        if (code == '%') {
            out += '%';
        } else if (code == 'c') {
            out += entry.name;
        } else if (code == 'k') {
            out += entry.path;
        } else if (!isDroppedCode(code)) {
            return std::nullopt;  // %i only stands alone; anything else is unknown
        }
    }
    return out;
}

void appendExpanded(const std::string& arg, const DesktopEntry& entry,
                    std::vector<std::string>& argv) {
    if (arg == "%i") {
        if (!entry.icon.empty()) argv.insert(argv.end(), {"--icon", entry.icon});
        return;
    }
    if (arg.size() == 2 && arg[0] == '%' && isDroppedCode(arg[1])) return;
    const auto expanded = expandInline(arg, entry);
    if (!expanded) throw AppLaunchError(AppLaunchError::Kind::unlaunchable, entry.path);
    argv.push_back(*expanded);
}

}  // namespace

std::vector<std::string> execArguments(const DesktopEntry& entry) {
    const auto words = splitQuoted(entry.exec);
    if (!words || words->empty()) {
        throw AppLaunchError(AppLaunchError::Kind::unlaunchable, entry.path);
    }
    std::vector<std::string> argv;
    for (const auto& word : *words) appendExpanded(word, entry, argv);
    if (argv.empty() || argv.front().empty()) {
        throw AppLaunchError(AppLaunchError::Kind::unlaunchable, entry.path);
    }
    return argv;
}

}  // namespace nimbra::apprules
