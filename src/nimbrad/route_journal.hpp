#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::nimbrad {

// An IPv4 or IPv6 network, host bits cleared: the kernel refuses rules whose destination has
// them set, and two spellings of one network must compare equal.
struct Cidr {
    int family = 0;  // AF_INET or AF_INET6
    std::array<unsigned char, 16> bytes{};
    unsigned prefix = 0;

    // "10.0.0.0/8", "2001:db8::/32", or a bare address (a /32 or /128).
    static std::optional<Cidr> parse(std::string_view text);
    static Cidr everything(int family);
    std::string text() const;
    std::size_t addressLength() const { return family == AF_INET ? 4 : 16; }
    bool operator==(const Cidr&) const = default;
};

// One thing policy routing adds to the kernel. A rule sends traffic for `destination` (every
// destination when it is the /0) to `table`; a route sits in `table`: via `device` (unicast), a
// block that answers "network unreachable", or a throw route, which ends the lookup in `table`
// so the kernel goes on with the next rule (the main table).
struct RouteEntry {
    enum class Kind { rule, route };
    enum class Type { unicast, unreachable, throwing };
    Kind kind = Kind::rule;
    std::uint32_t table = 0;
    std::uint32_t priority = 0;  // rules: their priority; routes: the metric (0: the default)
    Cidr destination;
    Type type = Type::unicast;  // routes only
    std::string device;         // unicast routes only
    std::uint32_t fwmark = 0;   // rules only: the packet mark they match (0: any packet)
    bool operator==(const RouteEntry&) const = default;
};

// The state file: what is about to be added, written before the kernel is asked, so that the
// next start can take back what a crashed daemon left. One entry a line, plain words, so an
// engineer can read it and the daemon needs no JSON:
//
//   nimbrad-routes 3
//   rule 5200 254 10.0.0.0/8
//   rule 5205 254 0.0.0.0/0 fwmark 1852964865
//   rule 5210 51820 0.0.0.0/0
//   route 51820 unicast 0.0.0.0/0 nimbra0
//   route 51820 unreachable ::/0
//   route 51820 unreachable 0.0.0.0/0 metric 2147483647
//   route 51820 throw 1.0.1.0/24
//
// Version 1 knew no throw routes and version 2 no marks; their journals read the same.
std::string formatRouteJournal(const std::vector<RouteEntry>& entries);

// A journal as read back: the entries it lists, and each line that is not one this code writes
// (torn, edited by hand or by someone else), as it was. A daemon running as root deletes only
// what it can read exactly, and says what it would not read.
struct RouteJournal {
    std::vector<RouteEntry> entries;
    std::vector<std::string> unreadable;
    bool operator==(const RouteJournal&) const = default;
};
// Nothing when the text does not start as a journal of ours.
std::optional<RouteJournal> parseRouteJournal(std::string_view text);

// Written atomically; throws std::system_error when it cannot be.
void writeRouteJournal(const std::filesystem::path& path, const std::vector<RouteEntry>& entries);
// Nothing when there is no file; throws std::runtime_error when the file is unreadable or not a
// journal at all.
std::optional<RouteJournal> readRouteJournal(const std::filesystem::path& path);

}  // namespace nimbra::nimbrad
