#include "support/dns_packets.hpp"

#include <algorithm>

namespace nimbra::testing {

namespace {

constexpr std::size_t kHeaderSize = 12;

}  // namespace

DnsBytes dnsQuery(std::uint16_t id, std::string_view name, std::uint16_t type) {
    DnsBytes query(kHeaderSize, 0);
    query[0] = static_cast<std::uint8_t>(id >> 8);
    query[1] = static_cast<std::uint8_t>(id);
    query[2] = 0x01;  // RD
    query[5] = 1;     // one question
    std::size_t start = 0;
    while (start <= name.size()) {
        const auto dot = std::min(name.find('.', start), name.size());
        query.push_back(static_cast<std::uint8_t>(dot - start));
        query.insert(query.end(), name.begin() + start, name.begin() + dot);
        start = dot + 1;
    }
    query.insert(query.end(),
                 {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    return query;
}

DnsBytes dnsAnswer(DnsBytes query, std::uint8_t lastOctet) {
    query[2] |= 0x80;
    query[7] = 1;
    // A pointer to the question's name, type A, class IN, TTL 60, four bytes of address.
    query.insert(query.end(), {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, lastOctet});
    return query;
}

DnsReply readDnsReply(std::span<const std::uint8_t> message) {
    DnsReply reply;
    if (message.size() < kHeaderSize) return reply;
    reply.id = static_cast<std::uint16_t>(message[0] << 8 | message[1]);
    reply.rcode = message[3] & 0x0f;
    reply.truncated = (message[2] & 0x02) != 0;
    // The question: the name's labels up to the root, then type and class.
    std::size_t at = kHeaderSize;
    while (at < message.size() && message[at] != 0) at += message[at] + 1u;
    const std::size_t question = at + 5;
    if (message[7] >= 1 && message.size() >= question + 16) {
        const std::uint8_t* a = &message[question + 12];
        reply.address = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                        std::to_string(a[2]) + "." + std::to_string(a[3]);
    }
    return reply;
}

}  // namespace nimbra::testing
