#pragma once

#include <string>

#include "model/app_language.hpp"
#include "model/app_theme.hpp"
#include "system/platform_profile.hpp"

namespace nimbra::presentation {

// The line under a theme's name in the appearance choice. "System" names the operating system
// whose setting it follows, in the platform profile's words.
std::string themeDescription(AppTheme theme, const PlatformProfile& profile, AppLanguage language);

}  // namespace nimbra::presentation
