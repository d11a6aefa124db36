#include "model/app_rule_item.hpp"

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

namespace nimbra {
namespace {

using nlohmann::json;

std::string stringOr(const json& object, const char* key, std::string fallback) {
    auto found = object.find(key);
    if (found == object.end()) return fallback;
    return found->get<std::string>();  // a present key of the wrong type fails the whole decode
}

AppRuleItem decodeItem(const json& object) {
    AppRuleItem item;
    item.id = stringOr(object, "id", "");
    if (item.id.empty()) item.id = newUuid();
    item.name = object.at("name").get<std::string>();
    item.bundleId = stringOr(object, "bundleId", "");
    item.executableName = stringOr(object, "executableName", "");
    item.appPath = stringOr(object, "appPath", "");
    auto enabled = object.find("isEnabled");
    item.isEnabled = enabled == object.end() ? true : enabled->get<bool>();
    auto target = appRuleTargetFromRaw(stringOr(object, "target", "proxy"));
    if (!target) throw std::invalid_argument("unknown target");
    item.target = *target;
    return item;
}

}  // namespace

std::string newUuid() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<uint64_t> distribution;
    uint64_t high = distribution(generator);
    uint64_t low = distribution(generator);
    high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
    low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;    // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", unsigned(high >> 32),
                  unsigned((high >> 16) & 0xFFFF), unsigned(high & 0xFFFF), unsigned(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

std::vector<AppRuleItem> AppRuleItem::defaultPresets(const PlatformProfile& profile) {
    std::vector<AppRuleItem> presets;
    for (const AppPreset& preset : profile.appRulePresets) {
        presets.push_back({newUuid(), preset.name, preset.identifier, preset.executableName,
                           preset.path, true, AppRuleTarget::proxy});
    }
    return presets;
}

std::string encodeAppRules(const std::vector<AppRuleItem>& rules) {
    json array = json::array();
    for (const auto& rule : rules) {
        array.push_back({{"id", rule.id},
                         {"name", rule.name},
                         {"bundleId", rule.bundleId},
                         {"executableName", rule.executableName},
                         {"appPath", rule.appPath},
                         {"isEnabled", rule.isEnabled},
                         {"target", rawValue(rule.target)}});
    }
    return array.dump();
}

std::optional<std::vector<AppRuleItem>> decodeAppRules(std::string_view stored) {
    auto parsed = json::parse(stored, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_array()) return std::nullopt;
    std::vector<AppRuleItem> rules;
    try {
        for (const auto& object : parsed) {
            if (!object.is_object()) return std::nullopt;
            rules.push_back(decodeItem(object));
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return rules;
}

}  // namespace nimbra
