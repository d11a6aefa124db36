#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "l10n/window_texts.hpp"
#include "model/app_language.hpp"
#include "model/app_rule_item.hpp"
#include "model/app_rules_tab.hpp"
#include "system/platform_profile.hpp"

namespace nimbra {

// The per-app rules panel's fixed captions, by the key the panel looks each up with. Texts that a
// rule picks (tab labels, empty-list notes, badges, menus, toasts) are the functions below.
inline constexpr std::array kAppRulesTexts{
    WindowText{"appRulesTitle", "Per-App Proxy Control", "应用分流控制"},
    WindowText{"close", "Close", "关闭"},
    WindowText{"refreshRunning", "Refresh running applications", "刷新运行中应用"},
    WindowText{"defaultForUnlisted", "Default for unlisted apps:", "其余未配置应用默认："},
    WindowText{"scanInstalled", "Scan Installed Applications", "扫描已安装应用"},
    WindowText{"quickAddProxy", "+ Proxy", "+ 走代理"},
    WindowText{"quickAddDirect", "+ Direct", "+ 直连"},
};

}  // namespace nimbra

namespace nimbra::L10n {

// Every fixed caption of the panel as (key, text): kAppRulesTexts, the two target titles as
// "targetProxy" and "targetDirect", and the platform's words as "chooseFromDisk",
// "showInFileManager" and "searchPlaceholder".
std::vector<std::pair<std::string, std::string>> appRulesCaptions(const PlatformProfile& profile,
                                                                  AppLanguage language);

// "Proxy (VPN)" or "Bypass (Direct)": the picker's choices and an enabled rule's badge.
std::string appRuleTargetTitle(AppRuleTarget target, AppLanguage language);
std::string appRuleDisabledBadge(AppLanguage language);

// Where a running application's traffic goes now under per-app routing (not what its rule asks):
// "Via tunnel" or "Direct".
std::string appTrafficNow(bool throughTunnel, AppLanguage language);

// The panel's notice while real TUN routes each application by its rule, live.
std::string appRoutingLive(AppLanguage language);

// "Running (3)", "Configured (7)"; the "all" tab has no count.
std::string appRulesTabLabel(AppRulesTab tab, std::size_t count, AppLanguage language);

// What a tab shows instead of an empty list.
std::string noRunningApps(AppLanguage language);
std::string noAppRulesYet(AppLanguage language);
std::string scanningInstalledApps(AppLanguage language);
std::string installedAppsNotScanned(AppLanguage language);

// The row menu's entries (showing an app in the file manager is a platform word).
std::string setToProxy(AppLanguage language);
std::string setToDirect(AppLanguage language);
std::string launchWithProxy(AppLanguage language);
std::string removeAppRule(AppLanguage language);

// The toasts after an edit or a launch; `name` is the application's, inserted unchanged. A failed
// launch is launchFailed() of l10n.hpp.
std::string appRuleSet(std::string_view name, AppRuleTarget target, AppLanguage language);
std::string appRuleUpdated(std::string_view name, AppRuleTarget target, AppLanguage language);
std::string appRuleRemoved(std::string_view name, AppLanguage language);
std::string appLaunched(std::string_view name, AppLanguage language);

// Why launching cannot put an application behind the proxy (it would not use the settings it is
// started with), and what can.
std::string cannotProxyByLaunching(std::string_view name, AppLanguage language);

}  // namespace nimbra::L10n
