#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/platform_profile.hpp"

namespace nimbra {

// Whether an application's traffic goes through the tunnel or around it.
enum class AppRuleTarget { proxy, direct };

constexpr std::string_view rawValue(AppRuleTarget target) {
    return target == AppRuleTarget::proxy ? "proxy" : "direct";
}
constexpr std::optional<AppRuleTarget> appRuleTargetFromRaw(std::string_view raw) {
    if (raw == "proxy") return AppRuleTarget::proxy;
    if (raw == "direct") return AppRuleTarget::direct;
    return std::nullopt;
}

// One per-application rule as the user keeps it.
struct AppRuleItem {
    std::string id;  // UUID text
    std::string name;
    std::string bundleId;
    std::string executableName;
    std::string appPath;
    bool isEnabled = true;
    AppRuleTarget target = AppRuleTarget::proxy;

    bool operator==(const AppRuleItem&) const = default;

    // The starting list: the platform's presets, each enabled and proxied, each with a fresh id.
    static std::vector<AppRuleItem> defaultPresets(
        const PlatformProfile& profile = PlatformProfile::current());
};

std::string newUuid();

// The stored form: a JSON array of objects with the keys id, name, bundleId, executableName,
// appPath, isEnabled and target. Decoding fails as a whole (none) when the text is not such an
// array or any item lacks a name; missing optional keys get their defaults.
std::string encodeAppRules(const std::vector<AppRuleItem>& rules);
std::optional<std::vector<AppRuleItem>> decodeAppRules(std::string_view stored);

}  // namespace nimbra
