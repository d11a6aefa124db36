#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace nimbra::nimbrad {

// The little of the DNS wire format that a forwarder needs: it never looks past the question,
// it only checks that a packet is a plausible query, swaps ids and builds a SERVFAIL.
namespace dns {

constexpr std::size_t kHeaderSize = 12;
// The largest message that fits the two-byte length prefix of DNS over TCP.
constexpr std::size_t kMaxMessageSize = 65535;

// The query id (first two bytes); nullopt when the packet is shorter than a header.
std::optional<std::uint16_t> messageId(std::span<const std::uint8_t> message);
void setMessageId(std::span<std::uint8_t> message, std::uint16_t id);

// The size of header plus question section when `message` is a standard query (QR clear, opcode
// QUERY, exactly one question whose name is made of plain labels); nullopt for anything else.
// The forwarder drops what fails this instead of passing junk on to the upstream.
std::optional<std::size_t> querySize(std::span<const std::uint8_t> message);

// The largest UDP answer the client of `query` (which passed querySize) takes: the payload size
// of an EDNS OPT record right after the question, else 512.
std::size_t udpPayloadLimit(std::span<const std::uint8_t> query);

// Whether `message` is a response (QR set) at least a header long.
bool isResponse(std::span<const std::uint8_t> message);
// Whether the TC bit is set: the answer did not fit into the datagram.
bool isTruncated(std::span<const std::uint8_t> message);

// Whether `answer` carries the one question of `query` (which passed querySize), the name
// compared without regard to ASCII case as resolvers do. With the id this is what ties an answer
// to a query; an answer that fails it is dropped.
bool answersQuestionOf(std::span<const std::uint8_t> answer, std::span<const std::uint8_t> query);

// A SERVFAIL answer to `query` (which passed querySize): its id and question, no records.
std::vector<std::uint8_t> servfailFor(std::span<const std::uint8_t> query);
// An empty NOERROR answer to `query` with TC set: the answer is too big for the client's UDP
// payload, so it should ask again over TCP.
std::vector<std::uint8_t> truncatedFor(std::span<const std::uint8_t> query);

}  // namespace dns
}  // namespace nimbra::nimbrad
