#pragma once

#include <vector>

#include "model/app_rule_item.hpp"

namespace nimbra::apprules {

// Orders applications the way a file manager lists names: by the user's collation (LC_COLLATE,
// which the desktop shell sets from the session's locale), ignoring case, with digit runs
// compared as numbers ("App 2" before "App 10"). Equal names keep a fixed order by path.
void sortByName(std::vector<AppRuleItem>& apps);

}  // namespace nimbra::apprules
