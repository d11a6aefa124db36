// `nimbra-cli proxy` and `nimbra-cli repair-network`: the desktop's proxy settings as Nimbra
// sees them, and putting them right after a crash.

#include <cstdio>

#include "base/preference_store.hpp"
#include "cli/commands.hpp"
#include "model/app_preferences.hpp"
#include "proxy/system_proxy/system_proxy.hpp"

namespace nimbra::cli {
namespace {

std::unique_ptr<SystemProxy> systemProxyForPreferences() {
    AppPreferences preferences(PreferenceStore::standard());
    preferences.migrateIfNeeded();
    return SystemProxy::forThisDesktop(
        LocalEndpoints{"127.0.0.1", preferences.httpProxyPort(), preferences.socksPort()});
}

}  // namespace

int printSystemProxy() {
    auto proxy = systemProxyForPreferences();
    std::printf("back-end: %s\n", proxy->backendName().c_str());
    for (const auto& line : proxy->describeCurrent()) std::printf("%s\n", line.c_str());
    return 0;
}

int repairNetwork() {
    auto proxy = systemProxyForPreferences();
    const SystemProxy::Repair repair = proxy->repair();
    for (const auto& line : repair.lines) std::printf("%s\n", line.c_str());
    return repair.clean ? 0 : 1;
}

}  // namespace nimbra::cli
