#include "http_message.hpp"

#include <algorithm>
#include <cctype>

namespace nimbra::trace_server {

namespace {

constexpr std::string_view kCrlf = "\r\n";

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

std::string_view trimWhitespace(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool parseRequestLine(std::string_view line, RequestHead& head) {
    const auto firstSpace = line.find(' ');
    const auto lastSpace = line.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace) return false;

    const auto method = line.substr(0, firstSpace);
    const auto target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    const auto version = line.substr(lastSpace + 1);
    if (!isToken(method) || target.empty() || target.find(' ') != std::string_view::npos) {
        return false;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;

    head.method = method;
    head.target = target;
    head.version = version;
    return true;
}

}  // namespace

std::string RequestHead::path() const {
    std::string_view rest = target;
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (rest.size() >= scheme.size() &&
            equalsIgnoringCase(rest.substr(0, scheme.size()), scheme)) {
            rest.remove_prefix(scheme.size());
            const auto slash = rest.find('/');
            rest = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
            break;
        }
    }
    return std::string(rest.substr(0, rest.find_first_of("?#")));
}

std::optional<std::string> RequestHead::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

std::optional<RequestHead> parseRequestHead(std::string_view head) {
    constexpr std::string_view kEnd = "\r\n\r\n";
    if (head.size() < kEnd.size() || head.substr(head.size() - kEnd.size()) != kEnd) {
        return std::nullopt;
    }
    head.remove_suffix(kCrlf.size());  // every line, the last one too, now ends in CRLF

    RequestHead request;
    bool first = true;
    while (!head.empty()) {
        const auto end = head.find(kCrlf);
        const auto line = head.substr(0, end);
        head.remove_prefix(end + kCrlf.size());

        if (first) {
            if (!parseRequestLine(line, request)) return std::nullopt;
            first = false;
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return std::nullopt;
        request.headers.emplace_back(line.substr(0, colon), trimWhitespace(line.substr(colon + 1)));
    }
    if (first) return std::nullopt;
    return request;
}

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Unknown";
    }
}

std::string buildResponse(int status, std::string_view body, bool withBody) {
    // 204 and 304 never carry a body; a client would take one as the start of the next response.
    const bool bodyless = status == 204 || status == 304;

    std::string response = "HTTP/1.1 " + std::to_string(status) + " ";
    response += reasonPhrase(status);
    response += kCrlf;
    response += "Content-Type: text/plain";
    response += kCrlf;
    if (!bodyless) {
        response += "Content-Length: " + std::to_string(body.size());
        response += kCrlf;
    }
    response += "Connection: close";
    response += kCrlf;
    response += kCrlf;
    if (withBody && !bodyless) response += body;
    return response;
}

}  // namespace nimbra::trace_server
