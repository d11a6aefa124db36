#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "apprules/app_scan_environment.hpp"
#include "apprules/desktop_entry.hpp"
#include "model/app_rule_item.hpp"

namespace nimbra::apprules {

// The installed applications (installedDesktopEntries) that have a process of this user running,
// one item per entry (appRuleItemFor), sorted by name, never Nimbra itself (this process, and
// any process running this program). Reads the process table under `procRoot`.
//
// A process is matched to an entry, first match wins, by:
//  1. GIO_LAUNCHED_DESKTOP_FILE in its environment, the entry file a GIO launcher started it
//     from -- unless GIO_LAUNCHED_DESKTOP_FILE_PID names another process: the variable is
//     inherited, and a shell in a terminal started from the menu is not the terminal;
//  2. BAMF_DESKTOP_FILE_HINT, the entry file Snap's launchers name;
//  3. FLATPAK_ID, against an entry's X-Flatpak or its id without ".desktop";
//  4. its executable (/proc/<pid>/exe), against the program of an entry (TryExec, else Exec's)
//     found on `searchPath`, both with links resolved. A program that several entries start
//     (an interpreter, `flatpak`, a shared launcher) identifies none of them and is not used.
// Processes whose environment or executable we may not read are matched by what can be read.
std::vector<AppRuleItem> runningApplications(const std::vector<DesktopEntry>& installed,
                                             const std::string& searchPath,
                                             const std::filesystem::path& procRoot = "/proc");

// runningApplications over the entries installed in `environment`.
std::vector<AppRuleItem> scanRunningApplications(const AppScanEnvironment& environment,
                                                 const std::string& locale,
                                                 const std::filesystem::path& procRoot = "/proc");

}  // namespace nimbra::apprules
