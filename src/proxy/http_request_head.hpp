#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The first request head a client sends to the HTTP relay, and what the relay makes of it.
// Pure text functions; the relay parses only this first head of a connection and passes
// everything after it through untouched.
namespace nimbra::http_head {

// Each read of a head asks for at most this much...
inline constexpr std::size_t kReadChunk = 64 * 1024;
// ...and a connection that has sent more than this without ending its head is dropped.
inline constexpr std::size_t kMaxBuffered = 256 * 1024;

// The length of the head (up to and including the first CR LF CR LF) in what has been received
// so far, or nullopt while it is incomplete. `searchFrom` skips what an earlier call has already
// searched (less the 3 bytes a terminator could straddle), so a client trickling its head in
// byte by byte costs linear time, not quadratic.
std::optional<std::size_t> headLength(std::string_view received, std::size_t searchFrom = 0);

struct RequestHead {
    std::string text;                // the whole head, its empty last line included
    std::vector<std::string> lines;  // its non-empty lines, split at every kind of line break
    std::string method;              // upper-cased
    std::string target;
};

// nullopt for a head that is not UTF-8, has no line or whose first line has fewer than two
// words: the relay closes such connections without answering.
std::optional<RequestHead> parse(std::string text);

enum class Route {
    routingScript,  // GET /proxy.pac (with or without a query): served by the relay itself
    connect,        // CONNECT host:port: a tunnel
    forward,        // anything else: a plain request passed on to its origin
};
Route routeOf(const RequestHead& head);

// Where a plain request goes.
struct AbsoluteTarget {
    std::string host;
    std::uint16_t port = 80;
    std::string path;  // origin form: path plus "?" and query

    friend bool operator==(const AbsoluteTarget&, const AbsoluteTarget&) = default;
};

// From an absolute "http://" target, else from the first Host line. nullopt when neither gives
// a host; also for "https://" targets, which clients reach with CONNECT instead.
std::optional<AbsoluteTarget> absoluteTarget(const RequestHead& head);

// The head to send upstream: for an absolute target, every occurrence of the request line
// becomes "<METHOD> <path> HTTP/1.1"; an origin-form head goes unchanged.
std::string forwardedHead(const RequestHead& head, const AbsoluteTarget& target);

}  // namespace nimbra::http_head
