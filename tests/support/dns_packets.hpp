#pragma once

// DNS messages built and read by hand for the forwarder's tests: queries as a stub resolver
// sends them, answers as the stand-in resolvers give them.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::testing {

using DnsBytes = std::vector<std::uint8_t>;

// A standard query for `name` (dotted) of `type`, class IN, with RD set.
DnsBytes dnsQuery(std::uint16_t id, std::string_view name = "host.example.test",
                  std::uint16_t type = 1);
// `query` turned into its answer: QR set and one A record for 192.0.2.`lastOctet`.
DnsBytes dnsAnswer(DnsBytes query, std::uint8_t lastOctet);

struct DnsReply {
    std::uint16_t id = 0;
    int rcode = -1;  // -1: shorter than a header
    bool truncated = false;
    std::string address;  // the first A record's, when the answer has one after the question
};
DnsReply readDnsReply(std::span<const std::uint8_t> message);

}  // namespace nimbra::testing
