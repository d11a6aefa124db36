#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::nimbrad {

// One command from a client: {"cmd":"<name>","args":["<arg>",...]} on one line, "args" optional.
struct Request {
    std::string cmd;
    std::vector<std::string> args;
    // Root or one of the allowed uids, as the kernel named the peer to the server; never taken
    // from the line. Off by default, so a request nobody vouched for is told the least.
    bool fromTrustedPeer = false;

    bool operator==(const Request&) const = default;
};

// Requests carry a handful of short arguments; more than this is not a request we understand.
inline constexpr std::size_t kMaxRequestArgs = 8;

// Reads one request line (without its line feed). The grammar is deliberately narrow: a JSON
// object whose only keys are "cmd" (a string) and "args" (an array of strings), each at most once;
// whitespace between tokens is allowed, nothing after the object is. Strings take the JSON escapes,
// \u included (surrogate pairs become UTF-8); raw bytes must be valid UTF-8, and no string may
// hold a control character, raw or escaped, since no command or argument has a use for one.
// Returns nothing and sets `error` to a short reason when the line does not fit.
std::optional<Request> parseRequest(std::string_view line, std::string& error);

// `text` as a JSON string literal, quotes included. Bytes that are not valid UTF-8 become U+FFFD,
// so a reply stays decodable whatever a client sent us to echo back.
std::string jsonString(std::string_view text);

// {"ok":true} or {"ok":false,"msg":"..."}, without a line feed; an empty msg is left out.
std::string replyJson(bool ok, std::string_view msg = {});

}  // namespace nimbra::nimbrad
