#include "model/font_choice.hpp"

#include <algorithm>
#include <cctype>
#include <span>
#include <string_view>

namespace nimbra {
namespace {

// Debian's fonts-inter names the family "Inter"; upstream's variable build names it "Inter
// Variable". The CJK families are those of fonts-noto-cjk, fonts-wqy-microhei and
// fonts-wqy-zenhei.
constexpr std::string_view kInterChain[] = {"Inter", "Inter Variable"};
constexpr std::string_view kCjkChain[] = {"Noto Sans CJK SC", "Source Han Sans SC",
                                          "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
                                          "Droid Sans Fallback"};
constexpr std::string_view kMonoChain[] = {"JetBrains Mono", "JetBrains Mono Medium",
                                           "DejaVu Sans Mono", "Liberation Mono"};

bool sameFamily(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string firstInstalled(std::span<const std::string_view> chain,
                           const std::vector<std::string>& installed) {
    for (std::string_view wanted : chain) {
        for (const std::string& family : installed) {
            if (sameFamily(family, wanted)) return family;
        }
    }
    return {};
}

}  // namespace

FontChoice chooseFonts(const std::vector<std::string>& installed, AppLanguage language) {
    FontChoice choice;
    if (language == AppLanguage::chinese) choice.interface = firstInstalled(kCjkChain, installed);
    if (choice.interface.empty()) choice.interface = firstInstalled(kInterChain, installed);
    choice.mono = firstInstalled(kMonoChain, installed);
    return choice;
}

}  // namespace nimbra
