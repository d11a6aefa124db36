#pragma once

#include <filesystem>

// Where things live for the current user. Every call reads the environment afresh, so a changed
// $HOME or XDG variable takes effect at once (the tests rely on this).
namespace nimbra::paths {

// $HOME, else the home directory in the password database. Throws std::runtime_error if neither
// gives one.
std::filesystem::path homeDirectory();

// $XDG_CONFIG_HOME if it is an absolute path, else ~/.config.
std::filesystem::path configHome();

// $XDG_DATA_HOME if it is an absolute path, else ~/.local/share.
std::filesystem::path dataHome();

// $XDG_RUNTIME_DIR if it is an absolute path, else the system temp directory.
std::filesystem::path runtimeDirectory();

// The per-user work directory: dataHome()/Nimbra.
std::filesystem::path workDirectory();

// The directory holding the running executable. Throws std::filesystem::filesystem_error if
// /proc is unavailable.
std::filesystem::path executableDirectory();

}  // namespace nimbra::paths
