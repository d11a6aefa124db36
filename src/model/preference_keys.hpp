#pragma once

namespace nimbra::prefkey {

inline constexpr const char* connectionMode = "connection_mode";
inline constexpr const char* splitTunnelMode = "split_tunnel_mode";
inline constexpr const char* preferHttp2 = "usque_prefer_http2";
inline constexpr const char* socksPort = "socks_port";
inline constexpr const char* httpProxyPort = "http_proxy_port";
inline constexpr const char* nat64Prefix = "nat64_prefix";
inline constexpr const char* chinaDirect = "china_direct";
inline constexpr const char* daemonDNSMode = "daemon_dns_mode";
inline constexpr const char* daemonDNSProfile = "daemon_dns_profile";
inline constexpr const char* daemonDNSDevice = "daemon_dns_device";
inline constexpr const char* daemonDNSCustom = "daemon_dns_custom";
inline constexpr const char* uiLanguage = "ui_language";
inline constexpr const char* uiTheme = "nimbra_ui_theme";
inline constexpr const char* appRulePolicy = "app_rule_policy";
inline constexpr const char* appRulesList = "app_rules_list";
inline constexpr const char* defaultAppFallback = "default_app_fallback";
inline constexpr const char* prefsVersion = "nimbra_prefs_version";
// Set once the hint that Nimbra keeps running after its window closes was shown (no tray).
inline constexpr const char* keepsRunningHintShown = "nimbra_keeps_running_hint_shown";
// Set once the rule list was checked for another system's presets (see AppPreferences).
inline constexpr const char* appRulePresetsChecked = "nimbra_app_rule_presets_checked";
inline constexpr const char* obsoleteSystemSocksProxy = "set_system_socks_proxy";

}  // namespace nimbra::prefkey
