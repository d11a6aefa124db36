#include "apprules/running_app_scan.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "apprules/app_name_order.hpp"
#include "apprules/bounded_read.hpp"
#include "apprules/entry_program.hpp"
#include "apprules/installed_app_scan.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;

// An environment is a few KiB; the kernel allows megabytes. The launcher hints we look for are
// set before the application adds its own variables, so they sit near the start.
constexpr std::size_t kMaxEnvironBytes = 256 * 1024;
// More than any desktop session runs; stops a scan of a pathological table early.
constexpr std::size_t kMaxProcesses = 65536;
constexpr std::string_view kDeletedSuffix = " (deleted)";

struct LaunchHints {
    std::string gioDesktopFile;
    std::string gioDesktopFilePid;
    std::string bamfDesktopFile;
    std::string flatpakId;
};

LaunchHints hintsIn(std::string_view variables) {
    LaunchHints hints;
    const std::pair<std::string_view, std::string*> wanted[] = {
        {"GIO_LAUNCHED_DESKTOP_FILE=", &hints.gioDesktopFile},
        {"GIO_LAUNCHED_DESKTOP_FILE_PID=", &hints.gioDesktopFilePid},
        {"BAMF_DESKTOP_FILE_HINT=", &hints.bamfDesktopFile},
        {"FLATPAK_ID=", &hints.flatpakId},
    };
    while (!variables.empty()) {
        const auto end = variables.find('\0');
        const std::string_view variable = variables.substr(0, end);
        for (const auto& [prefix, value] : wanted) {
            if (variable.starts_with(prefix)) *value = variable.substr(prefix.size());
        }
        variables = end == std::string_view::npos ? "" : variables.substr(end + 1);
    }
    return hints;
}

std::string resolved(const fs::path& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

// The running program's path; a binary replaced since it started (a package upgrade) is shown by
// the kernel with a suffix, and is still the program at that path.
std::string executableOf(const fs::path& processDir) {
    std::error_code ec;
    std::string exe = fs::read_symlink(processDir / "exe", ec).string();
    if (exe.ends_with(kDeletedSuffix)) exe.resize(exe.size() - kDeletedSuffix.size());
    return exe;
}

// The entries, looked up by each kind of evidence a process offers.
class EntryIndex {
public:
    EntryIndex(const std::vector<DesktopEntry>& entries, const std::string& searchPath) {
        // X-Flatpak first: an entry that names its Flatpak id wins over one merely called so.
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!entries[i].flatpakId.empty()) flatpaks_.emplace(entries[i].flatpakId, i);
        }
        std::unordered_map<std::string, std::size_t> starts;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const DesktopEntry& entry = entries[i];
            files_.emplace(entry.path, i);
            files_.emplace(resolved(entry.path), i);
            flatpaks_.emplace(bundleIdOf(entry), i);
            // A Flatpak entry's Exec runs the flatpak tool, never the application itself.
            const auto program = entry.flatpakId.empty()
                                     ? findProgram(entryProgram(entry), searchPath)
                                     : std::nullopt;
            const std::string real = program ? resolved(*program) : std::string();
            if (!real.empty() && ++starts[real] == 1) programs_.emplace(real, i);
        }
        for (const auto& [program, count] : starts) {
            if (count > 1) programs_.erase(program);
        }
        files_.erase("");
    }

    std::optional<std::size_t> byFile(const std::string& path) const {
        if (path.empty()) return std::nullopt;
        if (auto found = find(files_, path)) return found;
        return find(files_, resolved(path));
    }
    std::optional<std::size_t> byFlatpakId(const std::string& id) const {
        return id.empty() ? std::nullopt : find(flatpaks_, id);
    }
    std::optional<std::size_t> byExecutable(const std::string& exe) const {
        return exe.empty() ? std::nullopt : find(programs_, exe);
    }

private:
    static std::optional<std::size_t> find(const std::unordered_map<std::string, std::size_t>& map,
                                           const std::string& key) {
        const auto it = map.find(key);
        return it == map.end() ? std::nullopt : std::optional(it->second);
    }

    std::unordered_map<std::string, std::size_t> files_;
    std::unordered_map<std::string, std::size_t> flatpaks_;
    std::unordered_map<std::string, std::size_t> programs_;
};

std::optional<std::size_t> matchProcess(const std::string& pid, const LaunchHints& hints,
                                        const std::string& exe, const EntryIndex& index) {
    const bool launchedThis = hints.gioDesktopFilePid.empty() || hints.gioDesktopFilePid == pid;
    if (launchedThis) {
        if (auto found = index.byFile(hints.gioDesktopFile)) return found;
    }
    if (auto found = index.byFile(hints.bamfDesktopFile)) return found;
    if (auto found = index.byFlatpakId(hints.flatpakId)) return found;
    return index.byExecutable(exe);
}

bool isProcessDirectory(const fs::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    return !name.empty() &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ownedByUs(const fs::path& processDir) {
    struct stat info {};
    return ::stat(processDir.c_str(), &info) == 0 && info.st_uid == ::getuid();
}

}  // namespace

std::vector<AppRuleItem> runningApplications(const std::vector<DesktopEntry>& installed,
                                             const std::string& searchPath,
                                             const fs::path& procRoot) {
    const EntryIndex index(installed, searchPath);
    const std::string ownPid = std::to_string(::getpid());
    const std::string ownExe = executableOf("/proc/self");
    std::unordered_set<std::size_t> listed;
    std::vector<AppRuleItem> apps;
    std::error_code ec;
    fs::directory_iterator it(procRoot, ec);
    for (std::size_t seen = 0; !ec && it != fs::directory_iterator() && seen < kMaxProcesses;
         it.increment(ec), ++seen) {
        const fs::path dir = it->path();
        const std::string pid = dir.filename().string();
        if (!isProcessDirectory(*it) || pid == ownPid || !ownedByUs(dir)) continue;
        const std::string exe = executableOf(dir);
        if (!exe.empty() && exe == ownExe) continue;
        // Unreadable (another user's, or gone since the listing): match by the executable alone.
        const auto variables = readFilePrefix((dir / "environ").string(), kMaxEnvironBytes);
        const auto match = matchProcess(pid, hintsIn(variables.value_or("")), exe, index);
        if (match && listed.insert(*match).second) {
            apps.push_back(appRuleItemFor(installed[*match]));
        }
    }
    sortByName(apps);
    return apps;
}

std::vector<AppRuleItem> scanRunningApplications(const AppScanEnvironment& environment,
                                                 const std::string& locale,
                                                 const fs::path& procRoot) {
    return runningApplications(installedDesktopEntries(environment, locale), environment.searchPath,
                               procRoot);
}

}  // namespace nimbra::apprules
