#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apprules/app_scan_environment.hpp"
#include "apprules/desktop_entry.hpp"
#include "model/app_language.hpp"
#include "model/app_rule_item.hpp"

namespace nimbra::apprules {

// The locale whose Name a list shows: "zh_CN" for the Chinese interface, none otherwise (the
// untranslated Name, which entries write in English).
std::string desktopEntryLocale(AppLanguage language);

// The applications a menu would show, in folder precedence order: every `.desktop` file below
// each applications folder of `environment` (the data home's first, then each data dir's). A
// desktop-file id found in an earlier folder hides every later file with that id, whatever the
// earlier file holds -- a file with Hidden=true and nothing else is how a user deletes a system
// entry. Of the files that remain, kept are those of Type=Application with an Exec line that
// are neither NoDisplay nor Hidden and whose TryExec, when given, names an installed program.
std::vector<DesktopEntry> installedDesktopEntries(const AppScanEnvironment& environment,
                                                  const std::string& locale);

// An entry's desktop-file id without ".desktop": "org.telegram.desktop", the name Flatpak and
// systemd give the application.
std::string bundleIdOf(const DesktopEntry& entry);

// The rule item for an entry: `name` its (localized) Name; `bundleId` bundleIdOf(entry);
// `executableName` the file name of its program (TryExec, else Exec's); `appPath` the entry's
// file; a fresh `id`, enabled, proxied.
AppRuleItem appRuleItemFor(const DesktopEntry& entry);

// installedDesktopEntries as rule items, sorted by name (app_name_order.hpp).
std::vector<AppRuleItem> scanInstalledApplications(const AppScanEnvironment& environment,
                                                   const std::string& locale);

// The item for one entry file the user chose from disk, its id taken from the file's name. None
// when it is not a readable application entry (see readDesktopEntry; Type other than
// Application, no Exec line). The user chose it, so NoDisplay, Hidden and TryExec do not count.
std::optional<AppRuleItem> parseAppEntry(const std::string& path, const std::string& locale);

}  // namespace nimbra::apprules
