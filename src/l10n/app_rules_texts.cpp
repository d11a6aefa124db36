#include "l10n/app_rules_texts.hpp"

namespace nimbra::L10n {
namespace {

std::string text(AppLanguage language, std::string_view english, std::string_view chinese) {
    return std::string(pick(language, english, chinese));
}

// The short target word of the toasts, unlike the picker's longer title.
std::string_view targetWord(AppRuleTarget target, AppLanguage language) {
    return target == AppRuleTarget::proxy ? pick(language, "Proxy", "走代理")
                                          : pick(language, "Direct", "直连");
}

}  // namespace

std::vector<std::pair<std::string, std::string>> appRulesCaptions(const PlatformProfile& profile,
                                                                  AppLanguage language) {
    std::vector<std::pair<std::string, std::string>> captions;
    for (const WindowText& caption : kAppRulesTexts) {
        captions.emplace_back(caption.key, pick(language, caption.english, caption.chinese));
    }
    captions.emplace_back("targetProxy", appRuleTargetTitle(AppRuleTarget::proxy, language));
    captions.emplace_back("targetDirect", appRuleTargetTitle(AppRuleTarget::direct, language));
    for (const auto& [key, words] :
         {std::pair{"chooseFromDisk", &profile.chooseAppFromDisk},
          std::pair{"showInFileManager", &profile.showInFileManager},
          std::pair{"searchPlaceholder", &profile.searchAppPlaceholder}}) {
        captions.emplace_back(key, pick(language, words->english, words->chinese));
    }
    return captions;
}

std::string appRuleTargetTitle(AppRuleTarget target, AppLanguage language) {
    return target == AppRuleTarget::proxy ? text(language, "Proxy (VPN)", "走代理 (VPN)")
                                          : text(language, "Bypass (Direct)", "直连 (排除)");
}

std::string appRuleDisabledBadge(AppLanguage language) {
    return text(language, "Disabled", "禁用");
}

std::string appTrafficNow(bool throughTunnel, AppLanguage language) {
    return throughTunnel ? text(language, "Via tunnel", "经隧道")
                         : text(language, "Direct", "直连");
}

std::string appRoutingLive(AppLanguage language) {
    return text(language, "Real TUN: rules apply to running apps at once, no relaunch needed",
                "真全局 (TUN)：规则即时作用于运行中的应用，无需重新启动");
}

std::string appRulesTabLabel(AppRulesTab tab, std::size_t count, AppLanguage language) {
    const auto& row = rowOf(kAppRulesTabs, tab);
    std::string label(pick(language, row.english, row.chinese));
    if (tab == AppRulesTab::all) return label;
    return label + " (" + std::to_string(count) + ")";
}

std::string noRunningApps(AppLanguage language) {
    return text(language, "No running applications detected", "暂无正在运行的应用");
}
std::string noAppRulesYet(AppLanguage language) {
    return text(language, "No rules yet. Right-click any app in 'Running' or 'All Apps' to add.",
                "暂无规则，可从「正在运行」或「所有应用」中右键添加");
}
std::string scanningInstalledApps(AppLanguage language) {
    return text(language, "Scanning installed applications…", "正在扫描系统已安装应用…");
}
std::string installedAppsNotScanned(AppLanguage language) {
    return text(language, "Click below to scan installed applications",
                "点击下方按钮加载已安装应用");
}

std::string setToProxy(AppLanguage language) {
    return text(language, "Set to Proxy (VPN)", "设为走代理 (VPN)");
}
std::string setToDirect(AppLanguage language) {
    return text(language, "Set to Bypass (Direct)", "设为直连排除 (不走 VPN)");
}
std::string launchWithProxy(AppLanguage language) {
    return text(language, "Launch with Proxy", "以代理启动");
}
std::string removeAppRule(AppLanguage language) {
    return text(language, "Remove Rule", "移除规则");
}

std::string appRuleSet(std::string_view name, AppRuleTarget target, AppLanguage language) {
    return text(language, "Set ", "已设置 ") + std::string(name) + " → " +
           std::string(targetWord(target, language));
}
std::string appRuleUpdated(std::string_view name, AppRuleTarget target, AppLanguage language) {
    return text(language, "Updated ", "已更新 ") + std::string(name) + " → " +
           std::string(targetWord(target, language));
}
std::string appRuleRemoved(std::string_view name, AppLanguage language) {
    return text(language, "Removed ", "已移除 ") + std::string(name) +
           text(language, " rule", " 规则");
}
std::string appLaunched(std::string_view name, AppLanguage language) {
    return text(language, "Launched", "已启动") + ": " + std::string(name);
}

std::string cannotProxyByLaunching(std::string_view name, AppLanguage language) {
    return std::string(name) +
           text(language,
                " cannot be proxied by launching: it ignores the proxy settings it is started "
                "with. Use TUN mode to route it.",
                " 无法通过「以代理启动」走代理：它不使用启动时传入的代理设置。请改用「真全局」模式"
                "。");
}

}  // namespace nimbra::L10n
