#include "nimbrad/route_journal.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/atomic_file.hpp"

namespace nimbra::nimbrad {
namespace {

constexpr std::string_view kHeader = "nimbrad-routes 3";
// Written by daemons without marks (2) or throw routes (1); still read, so an upgrade can clean
// up after them.
constexpr std::string_view kUnmarkedHeader = "nimbrad-routes 2";
constexpr std::string_view kOldHeader = "nimbrad-routes 1";

std::optional<std::uint32_t> number(std::string_view digits) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    while (!line.empty()) {
        const auto start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const auto end = std::min(line.find(' '), line.size());
        out.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
    return out;
}

bool isDeviceName(std::string_view name) {
    // IFNAMSIZ - 1, and nothing that could be read back as another word.
    if (name.empty() || name.size() > 15) return false;
    for (char c : name) {
        if (c <= ' ' || c == '/' || c > '~') return false;
    }
    return true;
}

std::optional<RouteEntry::Type> routeType(std::string_view word, bool withThrow) {
    if (word == "unicast") return RouteEntry::Type::unicast;
    if (word == "unreachable") return RouteEntry::Type::unreachable;
    if (word == "throw" && withThrow) return RouteEntry::Type::throwing;
    return std::nullopt;
}

std::string_view typeWord(RouteEntry::Type type) {
    switch (type) {
        case RouteEntry::Type::unicast:
            return "unicast";
        case RouteEntry::Type::unreachable:
            return "unreachable";
        case RouteEntry::Type::throwing:
            return "throw";
    }
    return "unicast";
}

std::optional<RouteEntry> parseLine(std::string_view line, bool withThrow) {
    const auto w = words(line);
    RouteEntry entry;
    if ((w.size() == 4 || (w.size() == 6 && w[4] == "fwmark")) && w[0] == "rule") {
        const auto priority = number(w[1]);
        const auto table = number(w[2]);
        const auto destination = Cidr::parse(w[3]);
        if (!priority || !table || !destination) return std::nullopt;
        if (w.size() == 6) {
            const auto mark = number(w[5]);
            if (!mark || *mark == 0) return std::nullopt;
            entry.fwmark = *mark;
        }
        entry.kind = RouteEntry::Kind::rule;
        entry.priority = *priority;
        entry.table = *table;
        entry.destination = *destination;
        return entry;
    }
    if (w.size() < 4 || w[0] != "route") return std::nullopt;
    const auto type = routeType(w[2], withThrow);
    if (!type) return std::nullopt;
    const bool unicast = *type == RouteEntry::Type::unicast;
    auto size = w.size();
    if (size >= 6 && w[size - 2] == "metric") {
        const auto metric = number(w[size - 1]);
        if (!metric || *metric == 0) return std::nullopt;
        entry.priority = *metric;
        size -= 2;
    }
    if (size != (unicast ? 5u : 4u) || (unicast && !isDeviceName(w[4]))) return std::nullopt;
    const auto table = number(w[1]);
    const auto destination = Cidr::parse(w[3]);
    if (!table || !destination) return std::nullopt;
    entry.kind = RouteEntry::Kind::route;
    entry.table = *table;
    entry.destination = *destination;
    entry.type = *type;
    if (unicast) entry.device = std::string(w[4]);
    return entry;
}

}  // namespace

std::optional<Cidr> Cidr::parse(std::string_view text) {
    const auto slash = text.find('/');
    const std::string address(text.substr(0, slash));
    Cidr cidr;
    if (::inet_pton(AF_INET, address.c_str(), cidr.bytes.data()) == 1) {
        cidr.family = AF_INET;
    } else if (::inet_pton(AF_INET6, address.c_str(), cidr.bytes.data()) == 1) {
        cidr.family = AF_INET6;
    } else {
        return std::nullopt;
    }
    const unsigned bits = static_cast<unsigned>(cidr.addressLength() * 8);
    cidr.prefix = bits;
    if (slash != std::string_view::npos) {
        const auto prefix = number(text.substr(slash + 1));
        if (!prefix || *prefix > bits || text.size() - slash > 4) return std::nullopt;
        cidr.prefix = *prefix;
    }
    for (unsigned bit = cidr.prefix; bit < bits; ++bit) {
        cidr.bytes[bit / 8] =
            static_cast<unsigned char>(cidr.bytes[bit / 8] & ~(0x80u >> (bit % 8)));
    }
    return cidr;
}

Cidr Cidr::everything(int family) {
    Cidr cidr;
    cidr.family = family;
    return cidr;
}

std::string Cidr::text() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, bytes.data(), buffer, sizeof buffer);
    return std::string(buffer) + "/" + std::to_string(prefix);
}

std::string formatRouteJournal(const std::vector<RouteEntry>& entries) {
    std::ostringstream out;
    out << kHeader << "\n";
    for (const auto& e : entries) {
        if (e.kind == RouteEntry::Kind::rule) {
            out << "rule " << e.priority << " " << e.table << " " << e.destination.text();
            if (e.fwmark != 0) out << " fwmark " << e.fwmark;
            out << "\n";
        } else {
            out << "route " << e.table << " " << typeWord(e.type) << " " << e.destination.text();
            if (e.type == RouteEntry::Type::unicast) out << " " << e.device;
            if (e.priority != 0) out << " metric " << e.priority;
            out << "\n";
        }
    }
    return out.str();
}

std::optional<RouteJournal> parseRouteJournal(std::string_view text) {
    const auto headerEnd = text.find('\n');
    if (headerEnd == std::string_view::npos) return std::nullopt;
    const auto header = text.substr(0, headerEnd);
    if (header != kHeader && header != kUnmarkedHeader && header != kOldHeader) return std::nullopt;
    const bool withThrow = header != kOldHeader;
    text.remove_prefix(headerEnd + 1);
    RouteJournal journal;
    while (!text.empty()) {
        // A line without its newline is a torn write, which the atomic writer never leaves.
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        const auto entry =
            end == std::string_view::npos ? std::nullopt : parseLine(line, withThrow);
        if (entry) {
            journal.entries.push_back(*entry);
        } else {
            journal.unreadable.emplace_back(line);
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return journal;
}

void writeRouteJournal(const std::filesystem::path& path, const std::vector<RouteEntry>& entries) {
    writeFileAtomically(path, formatRouteJournal(entries));
}

std::optional<RouteJournal> readRouteJournal(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) throw std::runtime_error("cannot read the routing journal " + path.string());
    auto journal = parseRouteJournal(text.str());
    if (!journal) throw std::runtime_error(path.string() + " is not a routing journal");
    return journal;
}

}  // namespace nimbra::nimbrad
