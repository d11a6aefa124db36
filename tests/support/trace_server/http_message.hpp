#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbra::trace_server {

// Largest request head (request line and headers, up to and including the blank line) read
// before answering 431.
inline constexpr std::size_t kMaxRequestHead = 16 * 1024;

// The request line and headers of one HTTP/1.x request.
struct RequestHead {
    std::string method;
    std::string target;   // as sent: origin form ("/a?b") or absolute form ("https://h/a?b")
    std::string version;  // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;

    // The target's path, without scheme, authority and query.
    std::string path() const;
    // The first header of that name (compared case-insensitively), if any.
    std::optional<std::string> header(std::string_view name) const;
};

// Parses a head ending in CRLF CRLF. nullopt when it is not a well-formed HTTP/1.x head.
std::optional<RequestHead> parseRequestHead(std::string_view head);

// The standard reason phrase of `status`, or "Unknown".
std::string_view reasonPhrase(int status);

// A complete response with Content-Type: text/plain, an exact Content-Length and
// Connection: close. With `withBody` false (a HEAD request) the body is left off but still
// counted in Content-Length.
std::string buildResponse(int status, std::string_view body, bool withBody = true);

}  // namespace nimbra::trace_server
