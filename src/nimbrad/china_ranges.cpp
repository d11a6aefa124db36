#include "nimbrad/china_ranges.hpp"

#include <GeoIP.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

namespace nimbra::nimbrad {
namespace {

// Addresses as numbers: IPv4 in the low 32 bits, IPv6 in all 128.
using Number = unsigned __int128;

unsigned bitsOf(int family) {
    return family == AF_INET ? 32 : 128;
}

Number toNumber(const Cidr& cidr) {
    Number n = 0;
    for (std::size_t i = 0; i < cidr.addressLength(); ++i) n = (n << 8) | cidr.bytes[i];
    return n;
}

Cidr toCidr(int family, Number n, unsigned prefix) {
    Cidr cidr;
    cidr.family = family;
    cidr.prefix = prefix;
    for (std::size_t i = cidr.addressLength(); i-- > 0;) {
        cidr.bytes[i] = static_cast<unsigned char>(n & 0xff);
        n >>= 8;
    }
    return cidr;
}

// The number with the low `count` bits set.
Number ones(unsigned count) {
    return count >= 128 ? ~Number{0} : (Number{1} << count) - 1;
}

// Sizes as the number of host bits (a block of 2^hostBits addresses), so the whole IPv6 space
// needs no 129-bit number.
std::vector<Cidr> split(int family, Number first, Number last) {
    const unsigned bits = bitsOf(family);
    std::vector<Cidr> out;
    while (true) {
        unsigned hostBits = 0;
        // Grow the block while `first` stays aligned to it and it still ends by `last`.
        while (hostBits < bits && ((first >> hostBits) & 1) == 0 &&
               ones(hostBits + 1) <= last - first) {
            ++hostBits;
        }
        out.push_back(toCidr(family, first, bits - hostBits));
        const Number blockLast = first + ones(hostBits);
        if (blockLast >= last) return out;
        first = blockLast + 1;
    }
}

struct GeoIpFree {
    void operator()(GeoIP* gi) const { GeoIP_delete(gi); }
};
using Database = std::unique_ptr<GeoIP, GeoIpFree>;

Database open(const std::filesystem::path& path, int family) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        throw GeoIpError("no GeoIP country database at " + path.string() +
                         " (Debian package geoip-database)");
    }
    // Without GEOIP_SILENCE the library prints its own complaints to stderr.
    Database gi(GeoIP_open(path.c_str(), GEOIP_MEMORY_CACHE | GEOIP_SILENCE));
    if (!gi) throw GeoIpError("cannot read the GeoIP database " + path.string());
    const int edition = GeoIP_database_edition(gi.get());
    const bool country =
        family == AF_INET
            ? (edition == GEOIP_COUNTRY_EDITION || edition == GEOIP_LARGE_COUNTRY_EDITION)
            : (edition == GEOIP_COUNTRY_EDITION_V6 || edition == GEOIP_LARGE_COUNTRY_EDITION_V6);
    if (!country) {
        throw GeoIpError(path.string() + " is not a GeoIP " +
                         (family == AF_INET ? "IPv4" : "IPv6") + " country database");
    }
    // Teredo lookups answer for the IPv4 address inside the IPv6 one, which would make the
    // database's own tree look different from what the walk below assumes.
    GeoIP_enable_teredo(gi.get(), 0);
    return gi;
}

// The database is a binary tree whose leaves are networks, and each lookup says the prefix
// length of the leaf it ended in: walking leaf by leaf visits the whole address space once,
// and the country's ranges are the runs of its leaves.
void walk(GeoIP* gi, int family, int country, Number from, Number end, std::vector<Cidr>& out) {
    const unsigned bits = bitsOf(family);
    bool inRun = false;
    Number runFirst = 0;
    Number address = from;
    while (true) {
        GeoIPLookup lookup{};
        int id = 0;
        if (family == AF_INET) {
            // The library answers nothing for 0.0.0.0; 0.0.0.1 ends in the same leaf unless
            // that leaf is a /32, and 0.0.0.0/8 is in no country anyway.
            id = GeoIP_id_by_ipnum_gl(gi, static_cast<unsigned long>(address == 0 ? 1 : address),
                                      &lookup);
            if (address == 0 && lookup.netmask == 32) id = 0;
        } else {
            in6_addr in6{};
            const Cidr c = toCidr(AF_INET6, address, 128);
            std::memcpy(in6.s6_addr, c.bytes.data(), 16);
            id = GeoIP_id_by_ipnum_v6_gl(gi, in6, &lookup);
        }
        if (lookup.netmask <= 0 || static_cast<unsigned>(lookup.netmask) > bits) {
            throw GeoIpError("the GeoIP database is garbled");
        }
        const unsigned hostBits = bits - static_cast<unsigned>(lookup.netmask);
        const Number last = std::min(address | ones(hostBits), end);
        if (id == country && !inRun) {
            inRun = true;
            runFirst = address;
        } else if (id != country && inRun) {
            inRun = false;
            const auto networks = split(family, runFirst, address - 1);
            out.insert(out.end(), networks.begin(), networks.end());
        }
        if (last >= end) break;
        address = last + 1;
    }
    if (inRun) {
        const auto networks = split(family, runFirst, end);
        out.insert(out.end(), networks.begin(), networks.end());
    }
}

std::string describe(const std::filesystem::path& path, GeoIP* gi) {
    std::string info = "unknown edition";
    if (char* text = GeoIP_database_info(gi)) {
        info = text;
        std::free(text);
    }
    std::string modified = "unknown";
    std::error_code error;
    const auto mtime = std::filesystem::last_write_time(path, error);
    if (!error) {
        const auto seconds =
            std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(mtime));
        std::tm utc{};
        char buffer[32] = {};
        if (::gmtime_r(&seconds, &utc) != nullptr &&
            std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &utc) > 0) {
            modified = buffer;
        }
    }
    return path.string() + " (" + info + ", file of " + modified + ")";
}

// The installed version of geoip-database, or "" when the status file does not list it.
std::string packageVersion(const std::filesystem::path& status) {
    std::ifstream in(status);
    std::string line;
    bool ours = false;
    while (std::getline(in, line)) {
        if (line.empty()) {
            ours = false;
        } else if (line == "Package: geoip-database") {
            ours = true;
        } else if (ours && line.starts_with("Version: ")) {
            return line.substr(9);
        }
    }
    return "";
}

}  // namespace

std::vector<Cidr> rangeToCidrs(const Cidr& first, const Cidr& last) {
    return split(first.family, toNumber(first), toNumber(last));
}

CountryRanges loadChinaRanges(const GeoIpDatabases& databases) {
    const int china = GeoIP_id_by_code("CN");
    CountryRanges ranges;
    for (const int family : {AF_INET, AF_INET6}) {
        const auto& path = family == AF_INET ? databases.ipv4 : databases.ipv6;
        const Database gi = open(path, family);
        const std::size_t before = ranges.networks.size();
        if (family == AF_INET) {
            walk(gi.get(), family, china, 0, ones(32), ranges.networks);
        } else {
            // Only global unicast (2000::/3), and not 6to4 (2002::/16): the IPv6 database also
            // places the IPv4 ranges at their IPv4-compatible, IPv4-mapped and 6to4 spellings,
            // which are no networks to route to directly.
            const Number global = Number{0x2000} << 112;
            const Number sixToFour = Number{0x2002} << 112;
            walk(gi.get(), family, china, global, sixToFour - 1, ranges.networks);
            walk(gi.get(), family, china, sixToFour + ones(112) + 1, global + ones(125),
                 ranges.networks);
        }
        if (!ranges.source.empty()) ranges.source += "; ";
        ranges.source += std::to_string(ranges.networks.size() - before) +
                         (family == AF_INET ? " IPv4" : " IPv6") + " networks from " +
                         describe(path, gi.get());
    }
    if (const auto version = packageVersion(databases.packageStatus); !version.empty()) {
        ranges.source += "; package geoip-database " + version;
    }
    return ranges;
}

}  // namespace nimbra::nimbrad
