#include "nimbrad/daemon_config.hpp"

#include <algorithm>

#include "base/text.hpp"
#include "nimbrad/argument_checks.hpp"
#include "nimbrad/quoted_for_log.hpp"

namespace nimbra::nimbrad {
namespace {

struct Line {
    std::size_t indent = 0;
    std::string_view key;
    std::string_view value;
    bool listItem = false;
};

Line splitLine(std::string_view raw) {
    Line line;
    line.indent = raw.find_first_not_of(' ');
    if (line.indent == std::string_view::npos) return {};
    std::string_view rest = text::trim(raw.substr(line.indent));
    if (rest.starts_with("- ") || rest == "-") {
        line.listItem = true;
        line.value = text::trim(rest.substr(1));
        return line;
    }
    const auto colon = rest.find(':');
    if (colon == std::string_view::npos) return {};
    line.key = text::trim(rest.substr(0, colon));
    line.value = text::trim(rest.substr(colon + 1));
    return line;
}

// "value", 'value' or value, without a trailing comment.
std::string scalar(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
        const auto end = value.find(value.front(), 1);
        if (end != std::string_view::npos) return std::string(value.substr(1, end - 1));
    }
    const auto comment = value.find(" #");
    if (comment != std::string_view::npos) value = text::trim(value.substr(0, comment));
    return std::string(value);
}

bool isTrue(std::string_view value) {
    return value == "true" || value == "yes" || value == "on";
}

// Keeps `value` when `refuse` finds nothing wrong with it, else notes why and keeps `fallback`.
std::string checked(std::string value, std::optional<std::string> (*refuse)(std::string_view),
                    std::string_view name, std::string fallback,
                    std::vector<std::string>& warnings) {
    if (value.empty()) return value;
    if (auto why = refuse(value)) {
        warnings.push_back("config: ignoring " + std::string(name) + " " + quotedForLog(value) +
                           ": " + *why);
        return fallback;
    }
    return value;
}

}  // namespace

ParsedDaemonConfig parseDaemonConfig(std::string_view text) {
    ParsedDaemonConfig parsed;
    DaemonConfig& config = parsed.config;
    std::string_view section;
    for (std::string_view raw : text::splitLines(text)) {
        const Line line = splitLine(raw);
        if (line.key.empty() && !line.listItem) continue;
        if (line.indent == 0 && !line.listItem) section = line.key;

        if (line.listItem) {
            if (section != "excludes") continue;
            std::string target = scalar(line.value);
            if (auto why = refuseExclusion(target))
                parsed.warnings.push_back("config: ignoring exclude " + quotedForLog(target) +
                                          ": " + *why);
            else if (std::find(config.excludes.begin(), config.excludes.end(), target) ==
                     config.excludes.end())
                config.excludes.push_back(std::move(target));
        } else if (section == "dns" && line.indent > 0) {
            std::string value = scalar(line.value);
            if (line.key == "mode")
                config.dnsMode = checked(std::move(value), refuseDnsMode, "dns mode",
                                         config.dnsMode, parsed.warnings);
            else if (line.key == "custom")
                config.dnsCustom =
                    checked(std::move(value), refuseDnsUpstream, "custom DNS", "", parsed.warnings);
            else if (line.key == "profile")
                config.dnsProfile = checked(std::move(value), refuseNextDnsProfile,
                                            "NextDNS profile", "", parsed.warnings);
            else if (line.key == "device")
                config.dnsDevice = std::move(value);
        } else if (line.indent == 0) {
            if (line.key == "http2")
                config.http2 = isTrue(scalar(line.value));
            else if (line.key == "china_direct")
                config.chinaDirect = isTrue(scalar(line.value));
            else if (line.key == "nat64_prefix")
                config.nat64Prefix = checked(scalar(line.value), refuseNat64Prefix, "NAT64 prefix",
                                             "", parsed.warnings);
        }
    }
    return parsed;
}

std::string withExcludes(std::string_view text, const std::vector<std::string>& excludes) {
    std::string block = "excludes:";
    if (excludes.empty()) {
        block += " []\n";
    } else {
        block += '\n';
        for (const auto& target : excludes) block += "  - " + target + "\n";
    }

    std::string result;
    bool inBlock = false;
    bool written = false;
    for (std::string_view raw : text::splitLines(text)) {
        const Line line = splitLine(raw);
        if (inBlock && (line.listItem || (line.key.empty() && !line.listItem))) continue;
        inBlock = false;
        if (line.indent == 0 && line.key == "excludes" && !line.listItem) {
            inBlock = true;
            if (!written) result += block;
            written = true;
            continue;
        }
        result.append(raw);
        result += '\n';
    }
    if (!written) result += block;
    return result;
}

}  // namespace nimbra::nimbrad
