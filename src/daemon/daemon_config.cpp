#include "daemon/daemon_config.hpp"

#include <exception>
#include <fstream>
#include <iterator>
#include <optional>

#include "base/atomic_file.hpp"
#include "base/log.hpp"

namespace nimbra {
namespace {

constexpr std::string_view kEmptyExcludes = "excludes: []\n";
constexpr std::string_view kExcludesKey = "excludes:";

// The whitespace and the "any character" of a regular expression's \s and '.'.
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isLineBreak(char c) {
    return c == '\n' || c == '\r';
}

size_t skipSpaces(std::string_view text, size_t at) {
    while (at < text.size() && isSpace(text[at])) ++at;
    return at;
}

// One "\s*-\s*.+\n" entry starting at `at`: where it ends, or nullopt. The greedy \s* after the
// dash may have to give characters back to ".+" (an entry of blanks only), so each shorter
// split is tried in the order a backtracking matcher would try it.
std::optional<size_t> matchEntry(std::string_view text, size_t at) {
    const size_t dash = skipSpaces(text, at);
    if (dash >= text.size() || text[dash] != '-') return std::nullopt;
    const size_t afterSpaces = skipSpaces(text, dash + 1);
    for (size_t start = afterSpaces; start > dash; --start) {
        size_t end = start;
        while (end < text.size() && !isLineBreak(text[end])) ++end;
        if (end > start && end < text.size() && text[end] == '\n') return end + 1;
    }
    return std::nullopt;
}

// The block as the regular expression excludes:\s*\n(?:\s*-\s*.+\n)* finds it, first match.
// Written out by hand because std::regex recurses once per character and a long list of
// exclusions would overflow the stack.
std::optional<std::string_view> findExcludesBlock(std::string_view text) {
    for (size_t key = text.find(kExcludesKey); key != std::string_view::npos;
         key = text.find(kExcludesKey, key + 1)) {
        const size_t afterKey = key + kExcludesKey.size();
        const size_t spacesEnd = skipSpaces(text, afterKey);
        // \s* gives back up to the last line feed in the run, which "\n" then takes.
        const size_t lastFeed = text.substr(0, spacesEnd).rfind('\n');
        if (lastFeed == std::string_view::npos || lastFeed < afterKey) continue;
        size_t end = lastFeed + 1;
        while (auto next = matchEntry(text, end)) end = *next;
        return text.substr(key, end - key);
    }
    return std::nullopt;
}

std::string withoutDoubleQuotes(std::string_view text) {
    std::string result;
    for (char c : text) {
        if (c != '"') result += c;
    }
    return result;
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

DaemonConfigValues DaemonConfigValues::from(const AppPreferences& preferences) {
    DaemonConfigValues values;
    values.dnsMode = preferences.daemonDNSMode();
    values.dnsCustom = preferences.daemonDNSCustom();
    values.dnsProfile = preferences.daemonDNSProfile();
    values.dnsDevice = preferences.daemonDNSDevice();
    values.http2 = preferences.preferHttp2();
    values.nat64Prefix = preferences.nat64Prefix();
    values.chinaDirect = preferences.chinaDirect();
    return values;
}

std::string carriedExcludesBlock(std::string_view existingConfig) {
    const auto block = findExcludesBlock(existingConfig);
    if (!block) return std::string(kEmptyExcludes);
    std::string carried(*block);
    if (carried.back() != '\n') carried += '\n';
    return carried;
}

std::string daemonConfigText(const DaemonConfigValues& values, std::string_view excludesBlock) {
    std::string text = "dns:\n";
    text += "  mode: " + values.dnsMode + "\n";
    text += "  custom: \"" + withoutDoubleQuotes(values.dnsCustom) + "\"\n";
    text += "  profile: \"" + withoutDoubleQuotes(values.dnsProfile) + "\"\n";
    text += "  device: \"" + withoutDoubleQuotes(values.dnsDevice) + "\"\n";
    text += std::string("http2: ") + boolText(values.http2) + "\n";
    text += "nat64_prefix: \"" + values.nat64Prefix + "\"\n";
    text += std::string("china_direct: ") + boolText(values.chinaDirect) + "\n";
    text += excludesBlock;
    return text;
}

std::string defaultDaemonConfigText(const DaemonConfigValues& values) {
    return "dns:\n  mode: " + values.dnsMode + "\nhttp2: " + boolText(values.http2) +
           "\nexcludes: []";
}

void writeDaemonConfig(const std::filesystem::path& configPath, const DaemonConfigValues& values) {
    std::error_code ignored;
    std::filesystem::create_directories(configPath.parent_path(), ignored);
    std::string excludes(kEmptyExcludes);
    if (auto existing = readWholeFile(configPath)) excludes = carriedExcludesBlock(*existing);
    try {
        writeFileAtomically(configPath, daemonConfigText(values, excludes));
    } catch (const std::exception& failure) {
        logLine("daemon", std::string("config.yml left as it was: ") + failure.what());
    }
}

}  // namespace nimbra
