// The stored per-app rule list: what decodes, with which defaults, and what makes it unreadable.

#include "model/app_rule_item.hpp"

#include <gtest/gtest.h>

#include <set>

namespace nimbra {
namespace {

TEST(AppRuleItem, MissingOptionalKeysTakeTheirDefaults) {
    auto rules =
        decodeAppRules(R"([{"id": "A1", "name": "Chrome", "bundleId": "com.google.Chrome"}])");
    ASSERT_TRUE(rules);
    ASSERT_EQ(rules->size(), 1u);
    const auto& rule = rules->front();
    EXPECT_EQ(rule.id, "A1");
    EXPECT_TRUE(rule.isEnabled);
    EXPECT_EQ(rule.target, AppRuleTarget::proxy);
    EXPECT_EQ(rule.executableName, "");
    EXPECT_EQ(rule.appPath, "");
}

TEST(AppRuleItem, AnItemWithoutANameOrWithBadTypesMakesTheWholeListUnreadable) {
    EXPECT_FALSE(decodeAppRules(R"([{"name": "ok"}, {"bundleId": "x"}])"));
    EXPECT_FALSE(decodeAppRules(R"([{"name": "ok", "isEnabled": "yes"}])"));
    EXPECT_FALSE(decodeAppRules(R"([{"name": "ok", "target": "vpn"}])"));
    EXPECT_FALSE(decodeAppRules(R"({"name": "not a list"})"));
    EXPECT_FALSE(decodeAppRules("\x01\x02 not json"));
}

TEST(AppRuleItem, MissingIdsGetFreshUuids) {
    auto rules = decodeAppRules(R"([{"name": "a"}, {"name": "b"}])");
    ASSERT_TRUE(rules);
    EXPECT_EQ((*rules)[0].id.size(), 36u);
    EXPECT_NE((*rules)[0].id, (*rules)[1].id);
}

TEST(AppRuleItem, EncodingRoundTripsEveryField) {
    std::vector<AppRuleItem> rules = AppRuleItem::defaultPresets();
    rules[1].isEnabled = false;
    rules[2].target = AppRuleTarget::direct;
    EXPECT_EQ(decodeAppRules(encodeAppRules(rules)), rules);
}

TEST(AppRuleItem, PresetsHaveDistinctIdsEachTime) {
    std::set<std::string> ids;
    for (int round = 0; round < 2; ++round) {
        for (const auto& preset : AppRuleItem::defaultPresets()) ids.insert(preset.id);
    }
    EXPECT_EQ(ids.size(), 14u);
}

}  // namespace
}  // namespace nimbra
