#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "nimbrad/route_journal.hpp"

namespace nimbra::nimbrad {

// Debian's geoip-database: one country database per address family.
struct GeoIpDatabases {
    std::filesystem::path ipv4 = "/usr/share/GeoIP/GeoIP.dat";
    std::filesystem::path ipv6 = "/usr/share/GeoIP/GeoIPv6.dat";
    // Where the package's version is read from: the database's own edition line carries the
    // date the package was built, while the version says how old the data inside is.
    std::filesystem::path packageStatus = "/var/lib/dpkg/status";
};

struct CountryRanges {
    // IPv4 networks first, then IPv6; within each family sorted and disjoint, adjacent blocks
    // merged and each range spelled with the fewest networks.
    std::vector<Cidr> networks;
    // Where the list came from and how old it is, on one line for the log and the status.
    std::string source;
};

struct GeoIpError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The mainland-China networks, IPv4 and IPv6. Throws GeoIpError when a database is missing,
// unreadable or not a country database.
CountryRanges loadChinaRanges(const GeoIpDatabases& databases = {});

// The fewest networks that cover exactly the addresses `first` to `last` (same family, `first`
// not after `last`), in order.
std::vector<Cidr> rangeToCidrs(const Cidr& first, const Cidr& last);

}  // namespace nimbra::nimbrad
