#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/split_tunnel_mode.hpp"

// The routing script (a proxy auto-configuration file) the relay serves at /proxy.pac. The
// system, or a browser, evaluates its FindProxyForURL(url, host) for every request to choose
// between our local proxies and a direct connection. Stateless helpers only; the relay calls
// generate() on every start and routing update and serves whatever it produced last.
namespace nimbra::ProxyPAC {

// Builds the whole script. `splitMode` picks the variant:
//   full      -- everything that is neither local/private nor bypassed goes to the proxies;
//   autoSplit -- only hosts on the curated proxy list go to the proxies, the rest goes direct.
// `extraBypass` lists hosts that always go direct; it is normalised (see normalizedHosts) before
// it is embedded. The result is UTF-8 (two em dashes in comments) and has no final newline.
std::string generate(int httpPort, std::string_view socksHost, int socksPort,
                     SplitTunnelMode splitMode, const std::vector<std::string>& extraBypass);

// "PROXY <host>:<httpPort>; SOCKS5 <host>:<socksPort>; SOCKS <host>:<socksPort>; DIRECT".
std::string proxyDirective(std::string_view socksHost, int httpPort, int socksPort);

// Every entry trimmed of white space and line breaks at both ends and lower-cased; empty
// entries dropped, duplicates removed, the rest sorted ascending (byte order, which for UTF-8
// is code point order).
std::vector<std::string> normalizedHosts(const std::vector<std::string>& list);

// A JavaScript array literal of double-quoted strings: ["a", "b"]. Backslashes are doubled,
// then double quotes escaped. No other character is touched. An empty list gives "[]".
std::string jsStringArray(const std::vector<std::string>& list);

}  // namespace nimbra::ProxyPAC
