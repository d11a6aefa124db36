#include "nimbrad/app_route_table.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "base/atomic_file.hpp"
#include "base/unique_fd.hpp"
#include "nimbrad/cgroup_root.hpp"
#include "nimbrad/daemon_log.hpp"
#include "nimbrad/nft_batch.hpp"
#include "nimbrad/quoted_for_log.hpp"

namespace nimbra::nimbrad {
namespace {

constexpr std::string_view kTable = "inet nimbra_apps";
constexpr const char* kSrcValidMark = "/proc/sys/net/ipv4/conf/all/src_valid_mark";
constexpr std::string_view kJournalHeader = "nimbrad-app-routes 1";
constexpr std::string_view kSysctlWord = "src_valid_mark ";
// Each retry follows a cgroup that vanished in the moment between two loads; more than this
// many in a row means something else is wrong.
constexpr int kLoadAttempts = 4;
// The kernel's socket expression looks at most this many levels up.
constexpr std::size_t kMaxLevel = 255;
// nft joins the path to /sys/fs/cgroup in a PATH_MAX buffer.
constexpr std::size_t kMaxPathLength = 4000;

bool isSafeDeviceName(std::string_view name) {
    return !name.empty() && name.size() <= 15 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-';
    });
}

bool isPlainNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
           c == '_' || c == '.' || c == '@' || c == '-';
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A path goes into nft's text between double quotes, which nft ends at the next quote whatever
// precedes it. Only what systemd puts in unit and slice names passes: letters, digits, ":_.@-",
// and a backslash only as systemd's "\xNN" escape; components neither empty nor "." or "..".
// Returns the path's level (its number of components), 0 when it does not pass.
std::size_t quotableLevel(std::string_view path) {
    if (path.size() > kMaxPathLength) return 0;
    std::size_t level = 0;
    for (;;) {
        const auto end = path.find('/');
        const auto name = path.substr(0, end);
        if (name.empty() || name == "." || name == "..") return 0;
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char c = name[i];
            if (c == '\\') {
                if (i + 3 >= name.size() || name[i + 1] != 'x' || !isHexDigit(name[i + 2]) ||
                    !isHexDigit(name[i + 3])) {
                    return 0;
                }
                i += 3;
            } else if (!isPlainNameCharacter(c)) {
                return 0;
            }
        }
        ++level;
        if (end == std::string_view::npos) break;
        path.remove_prefix(end + 1);
    }
    return level <= kMaxLevel ? level : 0;
}

struct Marked {
    AppRoute route;
    std::size_t level = 0;
};

std::string hex(std::uint32_t mark) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", mark);
    return text;
}

std::uint32_t markOf(AppRouteTarget target) {
    return target == AppRouteTarget::direct ? kDirectMark : kProxyMark;
}

// The whole table as one transaction. "add" before "delete" makes the delete succeed whether
// or not the table exists, and the kernel commits the three steps together.
std::string tableCommands(const std::string& device, const std::vector<Marked>& routes) {
    const std::string table(kTable);
    const auto direct = hex(kDirectMark);
    const auto proxy = hex(kProxyMark);
    std::string out = "add table " + table + "\ndelete table " + table + "\nadd table " + table +
                      "\nadd chain " + table +
                      " out { type route hook output priority mangle; policy accept; }\n";
    for (const auto& r : routes) {
        out += "add rule " + table + " out socket cgroupv2 level " + std::to_string(r.level) +
               " \"" + r.route.path + "\" meta mark set " + hex(markOf(r.route.target)) +
               " ct mark set meta mark\n";
    }
    out += "add chain " + table +
           " pre { type filter hook prerouting priority mangle; policy accept; }\n";
    for (const auto& mark : {direct, proxy}) {
        out += "add rule " + table + " pre ct mark " + mark + " meta mark set ct mark\n";
    }
    out += "add chain " + table + " post { type nat hook postrouting priority srcnat; policy " +
           "accept; }\n";
    out += "add rule " + table + " post meta mark " + direct + " oifname != \"" + device +
           "\" masquerade\n";
    out += "add rule " + table + " post meta mark " + proxy + " oifname \"" + device +
           "\" masquerade\n";
    return out;
}

std::string deleteTableCommands() {
    const std::string table(kTable);
    return "add table " + table + "\ndelete table " + table + "\n";
}

// nft resolves paths below /sys/fs/cgroup without asking what is mounted there. On a legacy or
// hybrid host that is a tmpfs of v1 hierarchies, where a path may name a folder whose inode nft
// would load as a cgroup id: marks for an unrelated cgroup, or for none.
CgroupRoot cgroup2Root() {
    CgroupRoot root;
    if (root.unusable()) throw std::runtime_error("per-app routing: " + *root.unusable());
    return root;
}

std::string readSysctl() {
    const auto text = readWholeFile(kSrcValidMark);
    if (!text || (*text != "0\n" && *text != "1\n")) {
        throw std::system_error(EIO, std::generic_category(),
                                std::string("cannot read ") + kSrcValidMark);
    }
    return text->substr(0, 1);
}

void writeSysctl(std::string_view value) {
    const UniqueFd fd(::open(kSrcValidMark, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() ||
        ::write(fd.get(), value.data(), value.size()) != static_cast<ssize_t>(value.size())) {
        throw std::system_error(errno, std::generic_category(),
                                std::string("cannot write ") + kSrcValidMark);
    }
}

std::vector<Marked> quotable(const std::vector<AppRoute>& routes) {
    std::vector<Marked> out;
    for (const auto& route : routes) {
        if (const auto level = quotableLevel(route.path)) {
            out.push_back({route, level});
        } else {
            daemonLog("per-app routing: leaving out the cgroup path " + quotedForLog(route.path));
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Marked& a, const Marked& b) { return a.level < b.level; });
    return out;
}

// The routes whose cgroups are still there; the others are logged.
std::vector<Marked> stillThere(const std::vector<Marked>& routes) {
    const auto root = cgroup2Root();
    std::vector<Marked> out;
    for (const auto& r : routes) {
        if (root.contains(r.route.path)) {
            out.push_back(r);
        } else {
            daemonLog("per-app routing: cgroup " + quotedForLog(r.route.path) + " has gone");
        }
    }
    return out;
}

}  // namespace

AppRouteTable::AppRouteTable(std::string tunnelDevice, std::filesystem::path journal)
    : tunnelDevice_(std::move(tunnelDevice)), journal_(std::move(journal)) {
    if (!isSafeDeviceName(tunnelDevice_)) {
        throw std::invalid_argument("not a tunnel device name: " + quotedForLog(tunnelDevice_));
    }
}

std::vector<AppRoute> AppRouteTable::apply(const AppRouteSet& set) {
    auto routes = quotable(set.routes);
    const bool first = !journalled_;
    try {
        if (!routes.empty()) cgroup2Root();
        for (int attempt = 1; !routes.empty(); ++attempt) {
            journalBeforeFirstChange();
            try {
                runNftBatch(tableCommands(tunnelDevice_, routes));
                std::vector<AppRoute> applied;
                for (const auto& r : routes) applied.push_back(r.route);
                return applied;
            } catch (const NftError&) {
                auto present = stillThere(routes);
                if (present.size() == routes.size() || attempt == kLoadAttempts) throw;
                routes = std::move(present);
            }
        }
    } catch (...) {
        // Nothing was in place before: take back the journal and the sysctl too.
        if (first) {
            try {
                remove();
            } catch (const std::exception& e) {
                daemonLog(std::string("per-app routing: undoing a failed first load: ") + e.what());
            }
        }
        throw;
    }
    remove();
    return {};
}

void AppRouteTable::remove() {
    recoverFromJournal(journal_);
    journalled_ = false;
}

void AppRouteTable::journalBeforeFirstChange() {
    if (journalled_) return;
    // Leftovers of a crashed run first, so the value journalled is the machine's own.
    recoverFromJournal(journal_);
    const auto previous = readSysctl();
    writeFileAtomically(journal_, std::string(kJournalHeader) + "\ntable " + std::string(kTable) +
                                      "\n" + std::string(kSysctlWord) + previous + "\n");
    journalled_ = true;
    writeSysctl("1\n");
}

bool AppRouteTable::recoverFromJournal(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return false;
    const auto text = readWholeFile(path);
    if (!text || !text->starts_with(std::string(kJournalHeader) + "\n")) {
        throw std::runtime_error(path.string() + " is not a per-app routing journal");
    }
    std::string_view rest(*text);
    rest.remove_prefix(kJournalHeader.size() + 1);
    bool table = false;
    std::string sysctl;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const auto line = rest.substr(0, end);
        if (line == "table " + std::string(kTable)) {
            table = true;
        } else if (line == std::string(kSysctlWord) + "0" ||
                   line == std::string(kSysctlWord) + "1") {
            sysctl = std::string(line.substr(kSysctlWord.size())) + "\n";
        } else {
            daemonLog("per-app routing: journal line not ours, ignored: " + quotedForLog(line));
        }
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    // The table goes first: marked replies rely on the sysctl while it is there.
    if (table) runNftBatch(deleteTableCommands());
    if (!sysctl.empty()) writeSysctl(sysctl);
    std::filesystem::remove(path);
    return true;
}

}  // namespace nimbra::nimbrad
