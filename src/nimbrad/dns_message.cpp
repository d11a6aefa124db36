#include "nimbrad/dns_message.hpp"

#include <algorithm>

namespace nimbra::nimbrad::dns {

namespace {

constexpr std::uint8_t kQrBit = 0x80;
constexpr std::uint8_t kOpcodeMask = 0x78;
constexpr std::uint8_t kTcBit = 0x02;
constexpr std::uint8_t kRdBit = 0x01;
constexpr std::uint8_t kRaBit = 0x80;
constexpr std::uint8_t kServfail = 2;
constexpr std::size_t kMaxNameLength = 255;

std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

}  // namespace

std::optional<std::uint16_t> messageId(std::span<const std::uint8_t> message) {
    if (message.size() < kHeaderSize) return std::nullopt;
    return readU16(message, 0);
}

void setMessageId(std::span<std::uint8_t> message, std::uint16_t id) {
    message[0] = static_cast<std::uint8_t>(id >> 8);
    message[1] = static_cast<std::uint8_t>(id & 0xff);
}

std::optional<std::size_t> querySize(std::span<const std::uint8_t> message) {
    if (message.size() < kHeaderSize) return std::nullopt;
    if ((message[2] & (kQrBit | kOpcodeMask)) != 0) return std::nullopt;
    if (readU16(message, 4) != 1 || readU16(message, 6) != 0) return std::nullopt;

    // The name: length-prefixed labels up to the root label. Compression pointers (top bits set)
    // have no place in a query's only question.
    std::size_t at = kHeaderSize;
    std::size_t nameLength = 0;
    for (;;) {
        if (at >= message.size()) return std::nullopt;
        const std::uint8_t label = message[at];
        if (label == 0) break;
        if ((label & 0xc0) != 0) return std::nullopt;
        nameLength += label + 1u;
        if (nameLength > kMaxNameLength) return std::nullopt;
        at += label + 1u;
    }
    at += 1 + 4;  // root label, QTYPE, QCLASS
    if (at > message.size()) return std::nullopt;
    return at;
}

std::size_t udpPayloadLimit(std::span<const std::uint8_t> query) {
    constexpr std::size_t kPlainLimit = 512;
    constexpr std::uint16_t kOptType = 41;
    const auto question = querySize(query);
    if (!question || readU16(query, 10) == 0) return kPlainLimit;
    const std::size_t at = *question;
    // Root name, TYPE, CLASS (the payload size), TTL, RDLENGTH.
    if (at + 11 > query.size() || query[at] != 0 || readU16(query, at + 1) != kOptType)
        return kPlainLimit;
    return std::max<std::size_t>(kPlainLimit, readU16(query, at + 3));
}

bool isResponse(std::span<const std::uint8_t> message) {
    return message.size() >= kHeaderSize && (message[2] & kQrBit) != 0;
}

bool isTruncated(std::span<const std::uint8_t> message) {
    return message.size() >= kHeaderSize && (message[2] & kTcBit) != 0;
}

bool answersQuestionOf(std::span<const std::uint8_t> answer, std::span<const std::uint8_t> query) {
    const auto end = querySize(query);
    if (!end || answer.size() < *end || readU16(answer, 4) != 1) return false;
    // Label lengths stay below 64, so folding letters never makes a length equal to anything else.
    auto fold = [](std::uint8_t c) {
        return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + ('a' - 'A')) : c;
    };
    for (std::size_t at = kHeaderSize; at < *end; ++at) {
        if (fold(answer[at]) != fold(query[at])) return false;
    }
    return true;
}

std::vector<std::uint8_t> servfailFor(std::span<const std::uint8_t> query) {
    const std::size_t size = querySize(query).value_or(kHeaderSize);
    std::vector<std::uint8_t> answer(query.begin(), query.begin() + std::min(size, query.size()));
    answer.resize(std::max(answer.size(), kHeaderSize));
    answer[2] = static_cast<std::uint8_t>(kQrBit | (query[2] & kRdBit));
    answer[3] = kRaBit | kServfail;
    // Keep QDCOUNT only when the question came along; no answer, authority or extra records.
    if (size == kHeaderSize) std::fill(answer.begin() + 4, answer.begin() + 6, 0);
    std::fill(answer.begin() + 6, answer.begin() + kHeaderSize, 0);
    return answer;
}

std::vector<std::uint8_t> truncatedFor(std::span<const std::uint8_t> query) {
    std::vector<std::uint8_t> answer = servfailFor(query);
    answer[2] |= kTcBit;
    answer[3] = kRaBit;
    return answer;
}

}  // namespace nimbra::nimbrad::dns
