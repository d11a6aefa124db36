#include "presentation/theme_description.hpp"

namespace nimbra::presentation {

std::string themeDescription(AppTheme theme, const PlatformProfile& profile, AppLanguage language) {
    switch (theme) {
        case AppTheme::dark:
            return std::string(pick(language, "Proxyman-inspired developer dark aesthetic",
                                    "Proxyman 风格暗黑专业极客质感"));
        case AppTheme::light:
            return std::string(pick(language, "Clean & light frosted glass aesthetic",
                                    "经典清爽明亮磨砂玻璃质感"));
        case AppTheme::system:
            break;
    }
    const auto& words = profile.followSystemAppearance;
    return std::string(pick(language, words.english, words.chinese));
}

}  // namespace nimbra::presentation
