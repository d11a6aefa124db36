#include "proxy_input_checks.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "proxy/host_port.hpp"
#include "proxy/http_request_head.hpp"
#include "proxy/socks5_wire.hpp"

namespace nimbra::fuzz {
namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Feeds `input` to a wire parser exactly as the services read: only as many bytes as the parser
// asks for. Returns how many bytes the message took, or 0 when it was malformed or cut short.
template <typename Parse>
std::size_t readLikeTheServices(socks5::ByteView input, Parse parse) {
    std::size_t have = 0;
    for (int rounds = 0;; ++rounds) {
        require(rounds < 16, "a wire parser keeps asking for more");
        socks5::Step step = parse(input.first(have));
        if (step.status == socks5::Status::malformed) return 0;
        if (step.status == socks5::Status::done) {
            require(step.count == have, "done before reading the whole message, or past it");
            return have;
        }
        require(step.count > 0, "asked for zero more bytes");
        if (have + step.count > input.size()) return 0;
        have += step.count;
    }
}

}  // namespace

void checkRequestHead(const std::uint8_t* data, std::size_t size) {
    std::string_view received(reinterpret_cast<const char*>(data), size);
    auto length = http_head::headLength(received);
    if (!length) return;
    require(*length <= size && received.substr(0, *length).ends_with("\r\n\r\n"),
            "head does not end at its terminator");
    for (std::size_t from : {std::size_t{1}, *length / 2, *length - 1})
        require(http_head::headLength(received, from) == length, "resumed search disagrees");

    auto head = http_head::parse(std::string(received.substr(0, *length)));
    if (!head) return;
    require(!head->lines.empty() && !head->method.empty() && !head->target.empty(),
            "a parsed head without request line");
    http_head::routeOf(*head);
    hostport::splitHostPort(head->target, 443);
    auto target = http_head::absoluteTarget(*head);
    if (!target) return;
    require(!target->host.empty(), "a destination without host");
    std::string forwarded = http_head::forwardedHead(*head, *target);
    require(forwarded.ends_with("\r\n\r\n"), "forwarded head lost its end");
    if (!head->target.starts_with("http")) require(forwarded == head->text, "origin form changed");
}

void checkSocksMessages(const std::uint8_t* data, std::size_t size) {
    socks5::ByteView input(data, size);
    std::size_t greeting = readLikeTheServices(input, socks5::parseGreeting);
    if (greeting > 0) {
        socks5::ByteView rest = input.subspan(greeting);
        auto parseRequest = [](socks5::ByteView bytes) { return socks5::parseRequest(bytes).step; };
        std::size_t request = readLikeTheServices(rest, parseRequest);
        if (request > 0) {
            socks5::Request parsed = socks5::parseRequest(rest.first(request)).request;
            auto refusal = socks5::refusalFor(parsed, 19999);
            require(refusal || (parsed.dest && !parsed.dest->host.empty()),
                    "dialling without a destination");
        }
    }
    readLikeTheServices(input, socks5::parseMethodSelection);
    readLikeTheServices(input, socks5::parseConnectReply);
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto request = socks5::connectRequest(text, 443);
    bool sentAsName = !hostport::parseIPv4(text);
    require(!request || !sentAsName || size <= socks5::kMaxHostLength,
            "an over-long name was accepted");
}

}  // namespace nimbra::fuzz
