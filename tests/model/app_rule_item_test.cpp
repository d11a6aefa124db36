// The stored per-app rule list: what decodes, with which defaults, and what makes it unreadable.

#include "model/app_rule_item.hpp"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(AppRuleItem, MissingKeysTakeTheirDefaultsAndMissingIdsFreshUuids) {
    const auto rules = decodeAppRules(R"([{"id": "A1", "name": "Chrome"}, {"name": "b"}])");
    ASSERT_TRUE(rules);
    ASSERT_EQ(rules->size(), 2u);
    EXPECT_EQ(rules->front(),
              (AppRuleItem{"A1", "Chrome", "", "", "", true, AppRuleTarget::proxy}));
    EXPECT_EQ(rules->back().id.size(), 36u);
    EXPECT_NE(decodeAppRules(R"([{"name": "b"}])")->front().id, rules->back().id);
}

TEST(AppRuleItem, OneBadItemMakesTheWholeListUnreadable) {
    for (const char* stored :
         {R"([{"name": "ok"}, {"bundleId": "x"}])", R"([{"name": "ok", "isEnabled": "yes"}])",
          R"([{"name": "ok", "target": "vpn"}])", R"({"name": "not a list"})", "\x01 not json"}) {
        EXPECT_EQ(decodeAppRules(stored), std::nullopt) << stored;
    }
}

TEST(AppRuleItem, EncodingRoundTripsEveryFieldAndPresetsGetFreshIds) {
    std::vector<AppRuleItem> rules = AppRuleItem::defaultPresets();
    rules[1].isEnabled = false;
    rules[2].target = AppRuleTarget::direct;
    EXPECT_EQ(decodeAppRules(encodeAppRules(rules)), rules);
    EXPECT_NE(rules[0].id, rules[1].id);
    EXPECT_NE(AppRuleItem::defaultPresets().front().id, rules.front().id);
}

}  // namespace
}  // namespace nimbra
