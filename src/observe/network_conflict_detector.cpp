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

bool showsTailscaleDNS(const std::string& configuration) {
    return configuration.find(kTailscaleResolver) != std::string::npos ||
           text::containsCaseInsensitive(configuration, kTailscaleDomainSuffix) ||
           text::containsCaseInsensitive(configuration, "tailscale");
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
