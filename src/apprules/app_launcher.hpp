#pragma once

#include <string>
#include <utility>
#include <vector>

#include "model/app_rule_item.hpp"

namespace nimbra::apprules {

// The proxy settings a launched application gets, in the order they are set: ALL_PROXY,
// http_proxy, https_proxy, all_proxy, HTTP_PROXY, HTTPS_PROXY (socks5h for the SOCKS ones, so
// names are resolved through the proxy), then no_proxy and NO_PROXY for the loopback names.
std::vector<std::pair<std::string, std::string>> proxyVariables(int socksPort, int httpPort);

// Starts the application of the item's desktop entry (its appPath) so that its traffic goes
// through the local proxies, without changing any system setting, and returns once the start
// has been requested; the application is not awaited. A Chromium-family app
// (isChromiumOrElectronApp) gets --proxy-server=socks5://127.0.0.1:<socksPort> and
// --user-data-dir=<the isolated profile>, so a new instance starts instead of handing the
// request to one already running without the proxy; any other app gets proxyVariables() in its
// environment. A Flatpak app gets both through `flatpak run` options (--env=, and
// --filesystem= for the profile folder), since the host environment stops at its sandbox.
// Throws AppLaunchError: the cases of resolveLaunchTarget(), profileRefused, startFailed.
// Blocks briefly (file reads, the exec): call it off the GUI thread.
void launch(const AppRuleItem& item, int socksPort, int httpPort);

}  // namespace nimbra::apprules
