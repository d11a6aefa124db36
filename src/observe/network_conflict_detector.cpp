#include "observe/network_conflict_detector.hpp"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "observe/warp_status_parser.hpp"
#include "system/platform_profile.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

// warp-cli asks its daemon over a socket and answers within a second when the daemon runs; a
// wedged daemon must not hold up a connect for long.
constexpr auto kToolTimeout = std::chrono::seconds(4);

// Tailscale's MagicDNS resolver, and the domain suffix of every tailnet name.
constexpr std::string_view kTailscaleResolver = "100.100.100.100";
constexpr std::string_view kTailscaleDomainSuffix = ".ts.net";

bool isExecutableFile(const std::string& path) {
    std::error_code error;
    return !path.empty() && fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

bool exists(const std::string& path) {
    std::error_code error;
    return !path.empty() && fs::exists(path, error);
}

// Runs `path` with `args` and returns standard output and standard error together. None when the
// tool is missing, cannot be launched, overruns, or writes anything but UTF-8. The exit status
// says nothing useful here: warp-cli exits non-zero when its daemon is down, yet prints a status.
std::optional<std::string> run(const std::string& path, std::vector<std::string> args) {
    if (!isExecutableFile(path)) return std::nullopt;
    Subprocess::Options options;
    options.argv.push_back(path);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.output = Subprocess::Output::joined;
    try {
        auto result = Subprocess::run(std::move(options), kToolTimeout);
        if (result.timedOut || !text::isValidUtf8(result.out)) return std::nullopt;
        return std::move(result.out);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string readFile(const std::string& path) {
    if (path.empty()) return {};
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The short names of all processes, newline-separated, as `ps -axc -o comm=` prints them.
std::string processNames(const NetworkConflictDetector::Sources& sources) {
    if (sources.procRoot.empty()) {
        if (sources.ps.empty()) return {};
        return run(sources.ps, {"-axc", "-o", "comm="}).value_or("");
    }
    std::string names;
    std::error_code error;
    fs::directory_iterator entry(sources.procRoot, fs::directory_options::skip_permission_denied,
                                 error);
    // Processes come and go while we walk: a vanished entry is simply skipped.
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        std::string comm = readFile((entry->path() / "comm").string());
        if (comm.empty()) continue;
        names += comm;
        if (comm.back() != '\n') names += '\n';
    }
    return names;
}

// Case-insensitive partial match against each name: "tailscaled" answers for "Tailscale".
bool processRunning(const std::string& names, std::string_view name) {
    std::string_view rest = names;
    while (!rest.empty()) {
        const size_t newline = rest.find('\n');
        const std::string_view line = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);
        if (!line.empty() && text::containsCaseInsensitive(line, name)) return true;
    }
    return false;
}

std::string resolverConfiguration(const NetworkConflictDetector::Sources& sources) {
    std::string configuration = readFile(sources.resolvConf);
    // A newline between the sources keeps a match from being stitched across them.
    if (auto status = run(sources.resolvectl, {"status"})) configuration += "\n" + *status;
    if (auto dns = run(sources.scutil, {"--dns"})) configuration += "\n" + *dns;
    return configuration;
}

// What a resolver setting is about, by its name: "nameserver" and "search" in resolv.conf,
// "DNS Servers" and "DNS Domain" in `resolvectl status`, "nameserver[0]" in `scutil --dns`.
enum class Setting { other, server, domain };

Setting settingNamed(std::string_view name) {
    std::string key = text::toLowerAscii(text::trimSpacesAndTabs(name));
    // scutil numbers repeated settings: "nameserver[0]", "search domain[1]".
    key = std::string(text::trimSpacesAndTabs(std::string_view(key).substr(0, key.find('['))));
    if (key == "nameserver" || key == "dns servers" || key == "current dns server") {
        return Setting::server;
    }
    if (key == "search" || key == "domain" || key == "search domain" || key == "dns domain") {
        return Setting::domain;
    }
    return Setting::other;
}

// resolvectl may add a port or a TLS name to a server: "100.100.100.100:53#name".
bool isTailscaleResolver(std::string_view word) {
    return word.starts_with(kTailscaleResolver) &&
           (word.size() == kTailscaleResolver.size() || word[kTailscaleResolver.size()] == ':' ||
            word[kTailscaleResolver.size()] == '#');
}

// "ts.net" or a name under it, as a search domain or a routing-only one ("~ts.net"), with or
// without the root dot.
bool isTailnetDomain(std::string_view word) {
    if (word.starts_with('~')) word.remove_prefix(1);
    if (word.ends_with('.')) word.remove_suffix(1);
    const std::string domain = text::toLowerAscii(word);
    return domain == kTailscaleDomainSuffix.substr(1) || domain.ends_with(kTailscaleDomainSuffix);
}

// Tailscale's DNS is in use when a resolver source names the MagicDNS resolver as a server or a
// tailnet as a DNS domain. Nothing else counts: resolvectl lists a link named tailscale0 whether
// or not Tailscale manages DNS. A resolvectl setting with several values goes on over indented
// lines without a name; any other line is "name values" (resolv.conf) or "name: values".
bool showsTailscaleDNS(const std::string& configuration) {
    Setting continued = Setting::other;
    for (const std::string& line : text::splitLines(configuration)) {
        const std::string_view trimmed = text::trimSpacesAndTabs(line);
        const bool indented = line.front() == ' ' || line.front() == '\t';
        Setting setting = Setting::other;
        std::string_view values;
        if (const size_t colon = trimmed.find(": "); colon != std::string_view::npos) {
            setting = continued = settingNamed(trimmed.substr(0, colon));
            values = trimmed.substr(colon + 1);
        } else if (indented && continued != Setting::other) {
            setting = continued;
            values = trimmed;
        } else {
            continued = Setting::other;
            const size_t space = trimmed.find_first_of(" \t");
            if (space == std::string_view::npos) continue;
            setting = settingNamed(trimmed.substr(0, space));
            values = trimmed.substr(space);
        }
        if (setting == Setting::other) continue;
        for (values = text::trimSpacesAndTabs(values); !values.empty();) {
            const size_t end = values.find_first_of(" \t");
            const std::string_view word = values.substr(0, end);
            if (setting == Setting::server ? isTailscaleResolver(word) : isTailnetDomain(word)) {
                return true;
            }
            values = end == std::string_view::npos ? std::string_view{}
                                                   : text::trimSpacesAndTabs(values.substr(end));
        }
    }
    return false;
}

ConflictReport scanOrThrow(const NetworkConflictDetector::Sources& sources) {
    std::string statusText;
    for (const auto& path : sources.warpCliPaths) {
        auto output = run(path, {"status"});
        if (output && !output->empty()) {
            statusText = std::move(*output);
            break;
        }
    }
    const bool connected = !statusText.empty() && warpStatusSaysConnected(statusText);

    // Read once: every process check of this scan looks at the same snapshot.
    const std::string names = processNames(sources);
    bool installed = !statusText.empty();
    for (const auto& name : sources.installedProcessNames) {
        installed = installed || processRunning(names, name);
    }
    for (const auto& marker : sources.installedMarkers) installed = installed || exists(marker);

    ConflictReport report;
    report.officialWarpConnected = connected;
    report.officialWarpInstalled = installed;
    if (connected) {
        report.hints.push_back(ConflictHint::disconnectOfficialWarp);
    } else if (installed) {
        report.hints.push_back(ConflictHint::officialWarpInstalled);
    }

    report.tailscaleDNS = showsTailscaleDNS(resolverConfiguration(sources));
    report.tailscaleRunning =
        processRunning(names, "Tailscale") || processRunning(names, "tailscaled");
    // With the official client connected nothing else matters until it is disconnected.
    if (!connected) {
        if (report.tailscaleDNS) {
            report.hints.push_back(ConflictHint::tailscaleDNS);
        } else if (report.tailscaleRunning) {
            report.hints.push_back(ConflictHint::tailscaleRunning);
        }
    }
    return report;
}

}  // namespace

NetworkConflictDetector::Sources NetworkConflictDetector::Sources::system() {
    const PlatformProfile& platform = PlatformProfile::current();
    Sources sources;
    sources.warpCliPaths = platform.warpCliPaths;
    sources.installedMarkers = platform.warpInstalledMarkers;
    sources.installedProcessNames = platform.warpProcessNames;
    sources.resolvConf = platform.resolvConf;
    sources.resolvectl = platform.resolvectl;
    sources.scutil = platform.scutil;
    sources.procRoot = platform.procRoot;
    sources.ps = platform.ps;
    return sources;
}

ConflictReport NetworkConflictDetector::scan(const Sources& sources) {
    try {
        return scanOrThrow(sources);
    } catch (...) {
        // Only allocation can fail here; a scan that cannot finish reports nothing found.
        return ConflictReport{};
    }
}

}  // namespace nimbra
