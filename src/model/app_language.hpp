#pragma once

#include <array>
#include <string_view>

namespace nimbra {

// The interface language, chosen by the user and stored as "ui_language".
enum class AppLanguage { english, chinese };

inline constexpr std::array kAllAppLanguages{AppLanguage::english, AppLanguage::chinese};

constexpr std::string_view rawValue(AppLanguage language) {
    return language == AppLanguage::chinese ? "zh" : "en";
}

// "zh" is Chinese; any other stored text (or none) is English.
constexpr AppLanguage appLanguageFromPreference(std::string_view stored) {
    return stored == "zh" ? AppLanguage::chinese : AppLanguage::english;
}

// The name shown in the language menu, always in the language itself.
constexpr std::string_view menuName(AppLanguage language) {
    return language == AppLanguage::chinese ? "中文" : "English";
}

// Picks the text for the language: Chinese only when asked for, English otherwise.
constexpr std::string_view pick(AppLanguage language, std::string_view english,
                                std::string_view chinese) {
    return language == AppLanguage::chinese ? chinese : english;
}

}  // namespace nimbra
