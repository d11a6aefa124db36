#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Quoting for the files the installer generates. Each function makes any path safe for its one
// consumer: a path with a quote, a space or a dollar sign in the user's home must reach the
// daemon unchanged, and must never turn into a second command in a script run as root.
//
// No quoting carries a control character (a byte below 0x20, or 0x7f) through all of them: a
// carriage return or line feed ends a line of the unit early and systemd refuses the unit, XML
// 1.0 cannot hold most of them at all, and a terminal shows a script's lines wrongly. Every
// function here therefore throws DaemonError (installFailed, naming the character) on one,
// before anything is installed.
namespace nimbra::daemon_install {

// Throws DaemonError (installFailed) when `text` holds a control character.
void refuseControlCharacters(std::string_view text);

// For bash: wrapped in single quotes, each single quote inside written as '\''.
std::string shellQuote(std::string_view text);

// For XML character data: & < > and the double quote become entities; the single quote stays.
std::string xmlEscape(std::string_view text);

// One argument of a systemd ExecStart= line. Plain words stay as they are; anything else is put
// in double quotes with C escapes, and % and $ are doubled, because systemd expands specifiers
// and variables inside quotes too.
std::string systemdArgument(std::string_view text);

// One path of a systemd path list (ReadWritePaths=, BindPaths=): always in double quotes, so a
// space or a colon stays inside the path; a double quote and a backslash escaped with a
// backslash, % doubled for the specifier expansion.
std::string systemdPath(std::string_view text);

// The SHA-256 digest of a whole file as lower-case hex; nullopt when it cannot be read.
std::optional<std::string> sha256OfFile(const std::filesystem::path& path);

}  // namespace nimbra::daemon_install
