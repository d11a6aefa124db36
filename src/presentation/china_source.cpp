#include "presentation/china_source.hpp"

#include <regex>

#include "base/text.hpp"

namespace nimbra::presentation {
namespace {

constexpr std::string_view kUnavailable = "China-direct unavailable: ";

std::string firstMatch(const std::string& text, const std::regex& pattern) {
    std::smatch match;
    return std::regex_search(text, match, pattern) ? match[1].str() : std::string();
}

// "20191224" -> "2019-12-24"; the data's date is inside Debian's version, after "really" when
// the package was rebuilt later, else at its start.
std::string dataDate(const std::string& version) {
    std::string digits = firstMatch(version, std::regex(R"(really(\d{8}))"));
    if (digits.empty()) digits = firstMatch(version, std::regex(R"(^(\d{8}))"));
    if (digits.empty()) return "";
    return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2);
}

// "; 8123 IPv4 and 1456 IPv6 networks": how much the split covers.
std::string networkCounts(const std::string& source, AppLanguage language) {
    std::string counts;
    for (const std::string family : {"IPv4", "IPv6"}) {
        const std::string count =
            firstMatch(source, std::regex(R"((\d+) )" + family + " networks"));
        if (count.empty()) continue;
        if (!counts.empty()) counts += pick(language, " and ", "，");
        counts += language == AppLanguage::chinese ? family + " 网段 " + count + " 个"
                                                   : count + " " + family;
    }
    if (counts.empty()) return "";
    return std::string(pick(language, "; ", "；")) + counts +
           std::string(pick(language, " networks", ""));
}

}  // namespace

std::string chinaSourceLine(std::string_view raw, AppLanguage language) {
    const std::string source(text::trim(raw));
    if (source.empty()) return "";
    if (source.starts_with(kUnavailable)) {
        return std::string(pick(language, "Country data unavailable: ", "国家数据不可用：")) +
               source.substr(kUnavailable.size());
    }
    const std::string version =
        firstMatch(source, std::regex(R"(package geoip-database ([^;\s]+))"));
    const std::string date = dataDate(version);
    std::string line(pick(language, "Country data: ", "国家数据："));
    line += version.empty() ? pick(language, "GeoIP database", "GeoIP 数据库")
                            : "Debian geoip-database";
    line += date.empty() ? std::string(pick(language, ", age unknown", "，数据日期未知"))
                         : std::string(pick(language, " of ", "，数据日期 ")) + date;
    if (!version.empty()) {
        line += std::string(pick(language, " (package ", "（软件包 ")) + version +
                std::string(pick(language, ")", "）"));
    }
    return line + networkCounts(source, language);
}

}  // namespace nimbra::presentation
