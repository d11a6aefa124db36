#include "proxy/http_request_head.hpp"

#include <algorithm>
#include <cctype>

#include "base/text.hpp"
#include "proxy/host_port.hpp"

namespace nimbra::http_head {
namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr std::string_view kHttpsScheme = "https://";
constexpr std::string_view kRoutingPath = "/proxy.pac";

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t space = std::min(line.find(' ', start), line.size());
        if (space > start) out.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    return out;
}

std::string toUpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// Characters a URL host may hold outside brackets: unreserved, sub-delimiters and escapes.
bool isHostCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$&'()*+,;=%").find(c) != std::string_view::npos;
}

bool isBracketedHostCharacter(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// The host and port of a URL authority ("user@host:port"); nullopt when it is not valid.
std::optional<hostport::HostPort> parseAuthority(std::string_view authority) {
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::string_view portText;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        if (!std::all_of(host.begin(), host.end(), isBracketedHostCharacter)) return std::nullopt;
        std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) return std::nullopt;
        portText = after.empty() ? after : after.substr(1);
    } else {
        std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
        if (!std::all_of(host.begin(), host.end(), isHostCharacter)) return std::nullopt;
    }
    if (host.empty()) return std::nullopt;
    std::uint16_t port = 80;
    if (!portText.empty()) {
        auto parsed = hostport::parsePort(portText);
        if (!parsed) return std::nullopt;
        port = *parsed;
    }
    return hostport::HostPort{std::string(host), port};
}

std::optional<AbsoluteTarget> fromUrl(std::string_view url) {
    std::string_view rest = url.substr(kHttpScheme.size());
    rest = rest.substr(0, rest.find('#'));
    std::size_t authorityEnd = std::min(rest.find_first_of("/?"), rest.size());
    auto authority = parseAuthority(rest.substr(0, authorityEnd));
    if (!authority) return std::nullopt;
    std::string_view pathAndQuery = rest.substr(authorityEnd);
    std::size_t queryStart = std::min(pathAndQuery.find('?'), pathAndQuery.size());
    std::string_view path = pathAndQuery.substr(0, queryStart);
    std::string_view query = pathAndQuery.substr(queryStart);  // "?" and the query, if any
    std::string originForm = std::string(path.empty() ? "/" : path).append(query);
    return AbsoluteTarget{authority->host, authority->port, std::move(originForm)};
}

std::optional<AbsoluteTarget> fromHostLine(const RequestHead& head) {
    for (std::size_t i = 1; i < head.lines.size(); ++i) {
        std::string_view line = head.lines[i];
        if (!text::toLowerAscii(line.substr(0, 5)).starts_with("host:")) continue;
        auto hostPort = hostport::splitHostPort(text::trim(line.substr(5)), 80);
        if (hostPort.host.empty()) return std::nullopt;
        std::string path = head.target.starts_with('/') ? head.target : "/" + head.target;
        return AbsoluteTarget{hostPort.host, hostPort.port, path};
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> headLength(std::string_view received, std::size_t searchFrom) {
    std::size_t end = received.find("\r\n\r\n", searchFrom > 3 ? searchFrom - 3 : 0);
    if (end == std::string_view::npos) return std::nullopt;
    return end + 4;
}

std::optional<RequestHead> parse(std::string text) {
    if (!text::isValidUtf8(text)) return std::nullopt;
    RequestHead head;
    head.lines = text::splitLines(text);
    if (head.lines.empty()) return std::nullopt;
    auto requestWords = words(head.lines.front());
    if (requestWords.size() < 2) return std::nullopt;
    head.method = toUpperAscii(requestWords[0]);
    head.target = std::string(requestWords[1]);
    head.text = std::move(text);
    return head;
}

Route routeOf(const RequestHead& head) {
    bool routingPath =
        head.target == kRoutingPath || head.target.starts_with(std::string(kRoutingPath) + "?");
    if (head.method == "GET" && routingPath) return Route::routingScript;
    if (head.method == "CONNECT") return Route::connect;
    return Route::forward;
}

std::optional<AbsoluteTarget> absoluteTarget(const RequestHead& head) {
    if (head.target.starts_with(kHttpScheme)) return fromUrl(head.target);
    if (head.target.starts_with(kHttpsScheme)) return std::nullopt;
    return fromHostLine(head);
}

std::string forwardedHead(const RequestHead& head, const AbsoluteTarget& target) {
    if (!head.target.starts_with(kHttpScheme) && !head.target.starts_with(kHttpsScheme))
        return head.text;
    const std::string& requestLine = head.lines.front();
    std::string replacement = head.method + " " + target.path + " HTTP/1.1";
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = head.text.find(requestLine, from)) != std::string::npos;
         from = at + requestLine.size()) {
        out.append(head.text, from, at - from);
        out += replacement;
    }
    out.append(head.text, from);
    return out;
}

}  // namespace nimbra::http_head
