#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace nimbra::apprules {

// Where application discovery looks, passed in rather than read inside the scan so that tests
// (and a caller that wants another user's view) can point it at folders of their own.
struct AppScanEnvironment {
    std::filesystem::path dataHome;               // $XDG_DATA_HOME
    std::vector<std::filesystem::path> dataDirs;  // $XDG_DATA_DIRS, in order of precedence
    std::string searchPath;                       // $PATH, for TryExec and Exec programs
    std::vector<std::string> currentDesktops;     // $XDG_CURRENT_DESKTOP, for OnlyShowIn/NotShowIn

    // Bounds of the walk below each applications folder. Real trees are one or two levels deep
    // and a few hundred files large; the bounds only stop a pathological tree (a bind-mount
    // loop, a folder of millions of files) from holding a scan for ever.
    int maxDepth = 8;
    std::size_t maxEntriesPerFolder = 20000;

    // The values of this process's environment with the XDG defaults: ~/.local/share when
    // XDG_DATA_HOME is unset or relative, /usr/local/share:/usr/share when XDG_DATA_DIRS holds no
    // absolute folder, and glibc's /bin:/usr/bin when PATH is unset.
    static AppScanEnvironment fromProcess();

    // The applications folders in order of precedence: the data home's, then each data dir's.
    std::vector<std::filesystem::path> applicationFolders() const;
};

}  // namespace nimbra::apprules
