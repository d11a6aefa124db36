#pragma once

#include <vector>

#include "model/app_rule_item.hpp"

namespace nimbra::presentation {

// Where the per-app rules panel keeps the user's list and the default for unlisted apps: the
// preferences in the program, memory in tests. The panel reads both once, when it is made, and
// hands over the whole list after every change.
class AppRulesStore {
public:
    virtual ~AppRulesStore() = default;
    virtual std::vector<AppRuleItem> rules() const = 0;
    virtual AppRuleTarget defaultFallback() const = 0;
    virtual void saveRules(const std::vector<AppRuleItem>& rules) = 0;
    virtual void saveDefaultFallback(AppRuleTarget target) = 0;
};

}  // namespace nimbra::presentation
