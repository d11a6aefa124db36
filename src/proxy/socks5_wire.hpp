#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// SOCKS5 wire format, both directions we speak it: as a client (the HTTP relay opening tunnels
// through the engine's listener) and as a server (the compatibility gateway). No I/O here.
//
// The parsers are stateless and work on everything received so far for one message. They answer
// "read exactly N more bytes", "done" or "malformed", so a caller that reads exactly what it is
// told never consumes bytes past the message: whatever follows belongs to the relayed stream.
namespace nimbra::socks5 {

using ByteView = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kVersion = 0x05;
inline constexpr std::uint8_t kNoAuthentication = 0x00;
inline constexpr std::uint8_t kCommandConnect = 0x01;
// A host name travels with a one-byte length.
inline constexpr std::size_t kMaxHostLength = 255;

enum class AddressType : std::uint8_t { ipv4 = 0x01, domain = 0x03, ipv6 = 0x04 };

enum class ReplyCode : std::uint8_t {
    succeeded = 0x00,
    generalFailure = 0x01,
    notAllowed = 0x02,
    connectionRefused = 0x05,
    commandNotSupported = 0x07,
    addressTypeNotSupported = 0x08,
};

enum class Status { needMore, done, malformed };

struct Step {
    Status status = Status::malformed;
    // needMore: how many more bytes to read before asking again. done: the message's total length.
    std::size_t count = 0;

    friend bool operator==(const Step&, const Step&) = default;
};

// ---- Client side ----

// 05 01 00: version 5, one method offered, "no authentication".
std::array<std::uint8_t, 3> clientGreeting();

// The server's 2-byte method selection. Only 05 00 is accepted; anything else is malformed.
Step parseMethodSelection(ByteView received);

// 05 01 00, then the address, then the port big-endian. A dotted-quad host (hostport::parseIPv4)
// goes as type 01 with its four octets; every other host, IPv6 literals included, as type 03
// with a length byte. nullopt when the host is longer than kMaxHostLength bytes.
std::optional<Bytes> connectRequest(std::string_view host, std::uint16_t port);

// The reply to CONNECT: 4 head bytes, then the bound address (type 01: 6 bytes, type 04: 18,
// type 03: a length byte L and L + 2 bytes), which the caller reads and discards. A version other
// than 5, a reply code other than "succeeded" or an unknown address type is malformed: the
// relay treats all of them as a failed tunnel. The third byte is not looked at.
Step parseConnectReply(ByteView received);

// ---- Server side ----

// 05, N, then N method bytes (not examined: we always select "no authentication").
Step parseGreeting(ByteView received);

// 05 00, sent whatever the client offered.
std::array<std::uint8_t, 2> methodSelection();

struct Dest {
    std::string host;
    std::uint16_t port = 0;
    bool isV6 = false;

    friend bool operator==(const Dest&, const Dest&) = default;
};

struct Request {
    std::uint8_t command = 0;
    std::uint8_t addressType = 0;
    // Absent when the address type is unknown, the name's length byte is 0 or the name is not
    // UTF-8.
    std::optional<Dest> dest;
};

struct RequestStep {
    Step step;
    Request request;  // filled in once step.status is done
};

// 05, command, reserved (ignored), address type, address, port. An unknown address type ends
// the request right after the 4-byte head, and a zero name length right after the length byte:
// both are done without a destination. Only a wrong version is malformed.
RequestStep parseRequest(ByteView received);

// True when the destination is the gateway's own listener: same port and a loopback or
// wildcard host ("127.0.0.1", "localhost", "::1", "0.0.0.0", any letter case).
bool isLoop(std::string_view host, std::uint16_t port, std::uint16_t listenPort);

// The code to refuse a parsed request with, checked in this order: no destination (01), a
// command other than CONNECT (07), an IPv6 destination (08), the gateway itself (02). nullopt
// means the destination should be dialled.
std::optional<ReplyCode> refusalFor(const Request& request, std::uint16_t listenPort);

// 05, code, 00, 01 and a zero IPv4 address and port: the 10-byte reply for success or refusal.
std::array<std::uint8_t, 10> reply(ReplyCode code);

}  // namespace nimbra::socks5
