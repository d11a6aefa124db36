#include "nimbrad/app_route_arguments.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "nimbrad/quoted_for_log.hpp"

namespace nimbra::nimbrad {
namespace {

constexpr std::string_view kUserSlices = "user.slice/user-";
constexpr std::string_view kSliceSuffix = ".slice/";

std::string shown(std::string_view value) {
    return quotedForLog(value, 64);
}

std::optional<AppRouteTarget> targetNamed(std::string_view name) {
    if (name == "proxy") return AppRouteTarget::proxy;
    if (name == "direct") return AppRouteTarget::direct;
    return std::nullopt;
}

// One `<target>:<path>` item as written, before its path is checked.
struct Entry {
    bool hasTarget;  // a colon was there
    std::string_view target;
    std::string_view path;
};

// Calls `visit` with each item of `entries` until it returns false; an item is empty where two
// spaces meet or a space begins or ends the list, and is passed on so the caller can refuse it.
template <typename Visit>
void forEachEntry(std::string_view entries, Visit visit) {
    if (entries.empty()) return;
    for (;;) {
        const auto space = entries.find(' ');
        const std::string_view item = entries.substr(0, space);
        const auto colon = item.find(':');
        const Entry entry = colon == std::string_view::npos
                                ? Entry{false, item, {}}
                                : Entry{true, item.substr(0, colon), item.substr(colon + 1)};
        if (!visit(item, entry) || space == std::string_view::npos) return;
        entries.remove_prefix(space + 1);
    }
}

// ASCII ranges, not <cctype>: what passes must not depend on the daemon's locale.
bool isAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isNameByte(char c) {
    return isAsciiAlnum(c) || c == '.' || c == '_' || c == '@' || c == ':' || c == '-';
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// systemd writes every byte outside its set of name bytes as \xNN; a backslash in any other
// shape is none of its names.
std::optional<std::string> refuseComponent(std::string_view component) {
    if (component.empty()) return std::string("an empty component (a doubled or trailing slash)");
    if (component == "." || component == "..") return std::string("a . or .. component");
    if (component.size() > kMaxAppRouteComponentBytes) {
        return "a component longer than " + std::to_string(kMaxAppRouteComponentBytes) + " bytes";
    }
    for (std::size_t i = 0; i < component.size(); ++i) {
        if (component[i] == '\\' && i + 3 < component.size() && component[i + 1] == 'x' &&
            isHexDigit(component[i + 2]) && isHexDigit(component[i + 3])) {
            i += 3;
        } else if (!isNameByte(component[i])) {
            return std::string("a byte other than letters, digits, ._@:- and \\xNN escapes");
        }
    }
    return std::nullopt;
}

// The uid of the slice `path` begins with, "user.slice/user-<uid>.slice/", or nothing. The
// number is read as systemd writes it, without leading zeros, so no two spellings name one slice.
std::optional<uid_t> sliceOwner(std::string_view path) {
    if (!path.starts_with(kUserSlices)) return std::nullopt;
    path.remove_prefix(kUserSlices.size());
    std::uint32_t uid = 0;
    const auto [end, error] = std::from_chars(path.data(), path.data() + path.size(), uid);
    const auto digits = static_cast<std::size_t>(end - path.data());
    if (error != std::errc() || digits == 0 || (path[0] == '0' && digits > 1)) return std::nullopt;
    // (uid_t)-1 is no account's uid; the kernel uses it for "unchanged".
    if (uid == std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    if (!path.substr(digits).starts_with(kSliceSuffix)) return std::nullopt;
    return static_cast<uid_t>(uid);
}

std::optional<std::string> refusePath(std::string_view path, uid_t peerUid) {
    if (path.empty()) return std::string("no path after the target");
    if (path.size() > kMaxAppRoutePathBytes) {
        return "longer than " + std::to_string(kMaxAppRoutePathBytes) + " bytes";
    }
    if (path.front() == '/') return std::string("an absolute path; paths start below the root");
    std::size_t components = 0;
    for (std::string_view rest = path;;) {
        const auto slash = rest.find('/');
        if (++components > kMaxAppRouteComponents) {
            return "more than " + std::to_string(kMaxAppRouteComponents) + " components";
        }
        if (auto refused = refuseComponent(rest.substr(0, slash))) return refused;
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    const auto owner = sliceOwner(path);
    // A slice itself is refused too: it holds every process of the session, not one application.
    if (!owner || components < 3) return std::string("not inside a user's slice");
    if (peerUid != 0 && *owner != peerUid) return std::string("inside another user's slice");
    return std::nullopt;
}

std::optional<std::string> refuseEntries(std::string_view entries, uid_t peerUid) {
    std::optional<std::string> refused;
    std::unordered_set<std::string_view> paths;
    forEachEntry(entries, [&](std::string_view item, const Entry& entry) {
        if (item.empty()) {
            refused = "entries are separated by single spaces";
        } else if (paths.size() == kMaxAppRoutes) {
            refused = "more than " + std::to_string(kMaxAppRoutes) + " app routes";
        } else if (!entry.hasTarget) {
            refused = "app route " + shown(item) + " is not <target>:<path>";
        } else if (!targetNamed(entry.target)) {
            refused = "unknown target " + shown(entry.target) + " (expected proxy or direct)";
        } else if (auto why = refusePath(entry.path, peerUid)) {
            refused = "app route path " + shown(entry.path) + ": " + *why;
        } else if (!paths.insert(entry.path).second) {
            refused = "app route path " + shown(entry.path) + " is listed twice";
        }
        return !refused;
    });
    return refused;
}

}  // namespace

bool isAppRoutesOff(const std::vector<std::string>& args) {
    return args.size() == 1 && args[0] == "off";
}

std::optional<std::string> refuseAppRoutes(const std::vector<std::string>& args, uid_t peerUid) {
    if (isAppRoutesOff(args)) return std::nullopt;
    if (args.size() != 2) {
        return std::string("\"app_routes\" takes off, or a default and the entries");
    }
    if (!targetNamed(args[0])) {
        return "unknown default " + shown(args[0]) + " (expected proxy or direct)";
    }
    return refuseEntries(args[1], peerUid);
}

AppRouteSet readAppRoutes(const std::vector<std::string>& args) {
    const auto defaultTarget = args.size() == 2 ? targetNamed(args[0]) : std::nullopt;
    if (!defaultTarget) throw std::invalid_argument("app routes read before they were checked");
    AppRouteSet set{*defaultTarget, {}};
    forEachEntry(args[1], [&](std::string_view, const Entry& entry) {
        const auto target = targetNamed(entry.target);
        if (!entry.hasTarget || !target || entry.path.empty()) {
            throw std::invalid_argument("app routes read before they were checked");
        }
        set.routes.push_back({std::string(entry.path), *target});
        return true;
    });
    return set;
}

}  // namespace nimbra::nimbrad
