#pragma once

#include "model/app_rule_item.hpp"

namespace nimbra::apprules {

// Browsers and editors built on Chromium or Electron take a proxy flag and a profile folder of
// their own instead of proxy variables (which they ignore). True when the item's bundleId (the
// desktop-file id without ".desktop") is a known one of theirs, compared without regard to
// case, or its lower-cased name contains one of their name fragments.
bool isChromiumOrElectronApp(const AppRuleItem& item);

}  // namespace nimbra::apprules
