#pragma once

#include <array>
#include <string_view>

#include "model/app_language.hpp"

namespace nimbra {

// One fixed caption of the main window, by the key the window's panels look it up with.
struct WindowText {
    std::string_view key;
    std::string_view english;
    std::string_view chinese;
};

// The window's fixed captions: panel and section titles, figure names and button words. Texts
// chosen by a rule (status, detail, titles that follow the connection) come from the
// presentation rules instead; these never change with the connection.
inline constexpr std::array kWindowTexts{
    WindowText{"overviewTitle", "Live Traffic & Diagnostics", "实时概览与诊断"},
    WindowText{"refreshDiagnostics", "Refresh exit diagnostics", "刷新诊断信息"},
    WindowText{"throughputTitle", "Live Throughput Waveform (Last 24s)",
               "实时传输速率波形 (最近24秒)"},
    WindowText{"download", "Download", "实时下载"},
    WindowText{"upload", "Upload", "实时上传"},
    WindowText{"totalDown", "Total Down", "累计下行"},
    WindowText{"connectedTime", "Connected Time", "已连接时长"},
    WindowText{"diagnosticsTitle", "Exit Diagnostics (cdn-cgi/trace)",
               "出口链路信息 (cdn-cgi/trace)"},
    WindowText{"exitIpv4", "Exit IPv4", "出口 IPv4"},
    WindowText{"exitIpv6", "Exit IPv6", "出口 IPv6"},
    WindowText{"warpStatus", "WARP Status", "WARP 状态"},
    WindowText{"locationColo", "Location / Colo", "机房与位置"},
    WindowText{"protocol", "Protocol", "底层协议"},
    WindowText{"tunInterface", "TUN Interface", "TUN 虚拟网卡"},
    WindowText{"copy", "Copy", "复制"},
    WindowText{"copied", "Copied", "已复制"},
    WindowText{"detect", "Detect", "检测"},
    WindowText{"themeSection", "Theme Appearance", "主题外观"},
    WindowText{"dnsSection", "DNS (switch live)", "DNS（可独立切换）"},
    WindowText{"dnsProfile", "NextDNS profile id", "NextDNS profile id"},
    WindowText{"dnsDevice", "Device name", "设备名"},
    WindowText{"dnsCustom", "DoH / DoT / IP", "DoH / DoT / IP"},
    WindowText{"applyDns", "Apply DNS", "应用 DNS"},
    WindowText{"chinaSection", "China auto split", "国内自动分流"},
    WindowText{"chinaExplain", "Domestic IPs (WeChat, Taobao, banks) bypass WARP automatically",
               "国内 IP（微信、淘宝、银行等）自动直连，不走 WARP"},
    WindowText{"excludesSection", "Direct excludes", "直连排除"},
    WindowText{"startAtLogin", "Start at login", "登录时启动"},
    WindowText{"excludePlaceholder", "IP / CIDR / domain", "IP / CIDR / 域名"},
    WindowText{"add", "Add", "添加"},
    WindowText{"remove", "Remove", "移除"},
    WindowText{"http2Section", "HTTP/2 TCP Fallback", "HTTP/2 TCP Fallback"},
    WindowText{"proxyHintSection", "Proxy address", "代理地址"},
    WindowText{"refreshExit", "Refresh exit", "刷新出口"},
    WindowText{"connectionMode", "Connection mode", "连接模式"},
    WindowText{"splitMode", "Split mode", "分流模式"},
    WindowText{"theme", "Theme", "主题"},
    WindowText{"language", "Language", "语言"},
    WindowText{"sections", "Sections", "功能分区"},
    WindowText{"live", "LIVE", "LIVE"},
};

}  // namespace nimbra
