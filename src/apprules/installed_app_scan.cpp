#include "apprules/installed_app_scan.hpp"

#include <algorithm>
#include <unordered_set>

#include "apprules/app_name_order.hpp"
#include "apprules/desktop_file_walk.hpp"
#include "apprules/entry_program.hpp"

namespace nimbra::apprules {
namespace {

constexpr std::string_view kSuffix = ".desktop";

bool isApplication(const DesktopEntry& entry) {
    return entry.type == "Application" && !entry.exec.empty();
}

bool namesAny(const std::vector<std::string>& desktops, const std::vector<std::string>& wanted) {
    return std::ranges::any_of(desktops, [&](const std::string& desktop) {
        return std::ranges::find(wanted, desktop) != wanted.end();
    });
}

// The desktop's own settings and tools of another desktop (OnlyShowIn=KDE; on GNOME) are not
// applications the user would route; without XDG_CURRENT_DESKTOP such entries are left out, as
// the desktops' menus do.
bool meantForThisDesktop(const DesktopEntry& entry, const std::vector<std::string>& desktops) {
    if (!entry.onlyShowIn.empty() && !namesAny(desktops, entry.onlyShowIn)) return false;
    return !namesAny(desktops, entry.notShowIn);
}

bool isShown(const DesktopEntry& entry, const AppScanEnvironment& environment) {
    return isApplication(entry) && !entry.noDisplay && !entry.hidden &&
           meantForThisDesktop(entry, environment.currentDesktops) &&
           (entry.tryExec.empty() ||
            findProgram(entry.tryExec, environment.searchPath).has_value());
}

}  // namespace

std::string desktopEntryLocale(AppLanguage language) {
    return language == AppLanguage::chinese ? "zh_CN" : "";
}

std::vector<DesktopEntry> installedDesktopEntries(const AppScanEnvironment& environment,
                                                  const std::string& locale) {
    std::vector<DesktopEntry> entries;
    std::unordered_set<std::string> claimedIds;
    for (const auto& folder : environment.applicationFolders()) {
        for (const DesktopFile& file :
             desktopFilesBelow(folder, environment.maxDepth, environment.maxEntriesPerFolder)) {
            // The id is taken by the file's presence, as GIO does, before its content is judged.
            if (!claimedIds.insert(file.id).second) continue;
            auto entry = readDesktopEntry(file.path.string(), file.id, locale);
            if (entry && isShown(*entry, environment)) {
                entries.push_back(std::move(*entry));
            }
        }
    }
    return entries;
}

std::string bundleIdOf(const DesktopEntry& entry) {
    std::string id = entry.id;
    if (id.ends_with(kSuffix)) id.resize(id.size() - kSuffix.size());
    return id;
}

AppRuleItem appRuleItemFor(const DesktopEntry& entry) {
    AppRuleItem item;
    item.id = newUuid();
    item.name = entry.name;
    item.bundleId = bundleIdOf(entry);
    item.executableName = std::filesystem::path(entryProgram(entry)).filename().string();
    item.appPath = entry.path;
    return item;
}

std::vector<AppRuleItem> scanInstalledApplications(const AppScanEnvironment& environment,
                                                   const std::string& locale) {
    std::vector<AppRuleItem> apps;
    for (const DesktopEntry& entry : installedDesktopEntries(environment, locale)) {
        apps.push_back(appRuleItemFor(entry));
    }
    sortByName(apps);
    return apps;
}

std::optional<AppRuleItem> parseAppEntry(const std::string& path, const std::string& locale) {
    const std::string id = std::filesystem::path(path).filename().string();
    const auto entry = readDesktopEntry(path, id, locale);
    if (!entry || !isApplication(*entry)) return std::nullopt;
    return appRuleItemFor(*entry);
}

}  // namespace nimbra::apprules
