#include "proxy/socks5_wire.hpp"

#include <array>

#include "base/text.hpp"
#include "proxy/host_port.hpp"

namespace nimbra::socks5 {
namespace {

Step needMore(std::size_t have, std::size_t want) {
    return {Status::needMore, want - have};
}
Step done(std::size_t length) {
    return {Status::done, length};
}
constexpr Step kMalformed{Status::malformed, 0};

std::uint16_t bigEndian16(ByteView bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// Total length of a message whose address type sits at `typeAt` and whose address is followed
// by a 2-byte port; nullopt for an unknown type. A name's length byte has to be read first: while
// `received` does not hold it yet, the answer is the length up to and including that byte.
std::optional<std::size_t> addressedLength(ByteView received, std::size_t typeAt) {
    std::size_t start = typeAt + 1;
    switch (static_cast<AddressType>(received[typeAt])) {
        case AddressType::ipv4:
            return start + 4 + 2;
        case AddressType::ipv6:
            return start + 16 + 2;
        case AddressType::domain:
            if (received.size() <= start) return start + 1;
            return start + 1 + received[start] + 2;
    }
    return std::nullopt;
}

std::string ipv4Text(ByteView octets) {
    std::string text;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i) text += '.';
        text += std::to_string(octets[i]);
    }
    return text;
}

// Eight lower-case groups, uncompressed. Only used to name a destination we refuse anyway.
std::string ipv6Text(ByteView bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t group = 0; group < 8; ++group) {
        if (group) text += ':';
        unsigned value = (bytes[2 * group] << 8) | bytes[2 * group + 1];
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            unsigned nibble = (value >> shift) & 0xF;
            if (nibble || started || shift == 0) {
                text += kHex[nibble];
                started = true;
            }
        }
    }
    return text;
}

}  // namespace

std::array<std::uint8_t, 3> clientGreeting() {
    return {kVersion, 0x01, kNoAuthentication};
}

Step parseMethodSelection(ByteView received) {
    if (received.size() < 2) return needMore(received.size(), 2);
    if (received[0] != kVersion || received[1] != kNoAuthentication) return kMalformed;
    return done(2);
}

std::optional<Bytes> connectRequest(std::string_view host, std::uint16_t port) {
    Bytes out{kVersion, kCommandConnect, 0x00};
    if (auto octets = hostport::parseIPv4(host)) {
        out.push_back(static_cast<std::uint8_t>(AddressType::ipv4));
        out.insert(out.end(), octets->begin(), octets->end());
    } else {
        if (host.size() > kMaxHostLength) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(AddressType::domain));
        out.push_back(static_cast<std::uint8_t>(host.size()));
        out.insert(out.end(), host.begin(), host.end());
    }
    out.push_back(static_cast<std::uint8_t>(port >> 8));
    out.push_back(static_cast<std::uint8_t>(port & 0xFF));
    return out;
}

Step parseConnectReply(ByteView received) {
    if (received.size() < 4) return needMore(received.size(), 4);
    if (received[0] != kVersion || received[1] != static_cast<std::uint8_t>(ReplyCode::succeeded))
        return kMalformed;
    auto total = addressedLength(received, 3);
    if (!total) return kMalformed;
    if (received.size() < *total) return needMore(received.size(), *total);
    return done(*total);
}

Step parseGreeting(ByteView received) {
    if (!received.empty() && received[0] != kVersion) return kMalformed;
    if (received.size() < 2) return needMore(received.size(), 2);
    std::size_t total = 2 + received[1];
    if (received.size() < total) return needMore(received.size(), total);
    return done(total);
}

std::array<std::uint8_t, 2> methodSelection() {
    return {kVersion, kNoAuthentication};
}

RequestStep parseRequest(ByteView received) {
    if (!received.empty() && received[0] != kVersion) return {kMalformed, {}};
    if (received.size() < 4) return {needMore(received.size(), 4), {}};
    Request request{received[1], received[3], std::nullopt};
    auto total = addressedLength(received, 3);
    if (!total) return {done(4), request};  // unknown address type: refused without reading on
    auto type = static_cast<AddressType>(received[3]);
    if (type == AddressType::domain && received.size() > 4 && received[4] == 0) {
        return {done(5), request};  // an empty name: refused without reading a port
    }
    if (received.size() < *total) return {needMore(received.size(), *total), {}};
    if (type == AddressType::domain) {
        std::size_t length = received[4];
        std::string host(reinterpret_cast<const char*>(received.data() + 5), length);
        if (text::isValidUtf8(host))
            request.dest = Dest{host, bigEndian16(received, 5 + length), false};
    } else if (type == AddressType::ipv4) {
        request.dest = Dest{ipv4Text(received.subspan(4, 4)), bigEndian16(received, 8), false};
    } else {
        request.dest = Dest{ipv6Text(received.subspan(4, 16)), bigEndian16(received, 20), true};
    }
    return {done(*total), request};
}

bool isLoop(std::string_view host, std::uint16_t port, std::uint16_t listenPort) {
    if (port != listenPort) return false;
    std::string lower = text::toLowerAscii(host);
    return lower == "127.0.0.1" || lower == "localhost" || lower == "::1" || lower == "0.0.0.0";
}

std::optional<ReplyCode> refusalFor(const Request& request, std::uint16_t listenPort) {
    if (!request.dest) return ReplyCode::generalFailure;
    if (request.command != kCommandConnect) return ReplyCode::commandNotSupported;
    if (request.dest->isV6) return ReplyCode::addressTypeNotSupported;
    if (isLoop(request.dest->host, request.dest->port, listenPort)) return ReplyCode::notAllowed;
    return std::nullopt;
}

std::array<std::uint8_t, 10> reply(ReplyCode code) {
    return {kVersion, static_cast<std::uint8_t>(code), 0x00, 0x01, 0, 0, 0, 0, 0, 0};
}

}  // namespace nimbra::socks5
