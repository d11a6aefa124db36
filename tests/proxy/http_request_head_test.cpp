#include "proxy/http_request_head.hpp"

#include <gtest/gtest.h>

namespace nimbra::http_head {
namespace {

RequestHead headOf(const std::string& text) {
    auto head = parse(text);
    EXPECT_TRUE(head.has_value()) << text;
    return head.value_or(RequestHead{});
}

TEST(RequestHead, FindsTheHeadEndEvenWhenASearchResumesMidTerminator) {
    const std::string received = "GET / HTTP/1.1\r\n\r\nbody";
    EXPECT_EQ(headLength(received), 18u);
    for (std::size_t from = 0; from < 18; ++from) EXPECT_EQ(headLength(received, from), 18u);
    EXPECT_EQ(headLength("GET / HTTP/1.1\r\n\r"), std::nullopt);
}

TEST(RequestHead, SplitsTheRequestLineAtSpacesAndLinesAtEveryBreak) {
    RequestHead head = headOf("  connect   a:1  HTTP/1.1\vHost: b\xe2\x80\xa8X: y\r\n\r\n");
    EXPECT_EQ(head.method, "CONNECT");
    EXPECT_EQ(head.target, "a:1");
    EXPECT_EQ(head.lines,
              (std::vector<std::string>{"  connect   a:1  HTTP/1.1", "Host: b", "X: y"}));
}

// The relay's own test covers the common shapes end to end (a path and query, a Host header, an
// https target, the malformed heads); these are the corners of the parse itself.
TEST(RequestHead, ResolvesPlainRequestDestinations) {
    struct Case {
        std::string head;
        std::optional<AbsoluteTarget> target;
    } cases[] = {
        {"GET http://u:p@example.com:81?q#frag HTTP/1.1\r\n\r\n",
         AbsoluteTarget{"example.com", 81, "/?q"}},
        {"GET http://[::1]:8080/x HTTP/1.1\r\n\r\n", AbsoluteTarget{"::1", 8080, "/x"}},
        {"GET http://example.com:/ HTTP/1.1\r\n\r\n", AbsoluteTarget{"example.com", 80, "/"}},
        {"GET http://example.com:99999/ HTTP/1.1\r\n\r\n", std::nullopt},
        {"GET http://exa<mple.com/ HTTP/1.1\r\n\r\n", std::nullopt},
        {"GET http://[::1/ HTTP/1.1\r\n\r\n", std::nullopt},
        {"OPTIONS * HTTP/1.1\r\nX-Host: no\r\nHOST: h:8080\r\nHost: later\r\n\r\n",
         AbsoluteTarget{"h", 8080, "/*"}},
        {"GET /a HTTP/1.1\r\nHost: [::1]:8443\r\n\r\n", AbsoluteTarget{"::1", 8443, "/a"}},
        {"GET /a HTTP/1.1\r\nHost: ::1\r\n\r\n", AbsoluteTarget{"::1", 80, "/a"}},
    };
    for (const auto& c : cases) EXPECT_EQ(absoluteTarget(headOf(c.head)), c.target) << c.head;
}

TEST(RequestHead, RewritesEveryCopyOfAnAbsoluteRequestLine) {
    RequestHead absolute = headOf("get http://h/p HTTP/1.0\r\nX: get http://h/p HTTP/1.0\r\n\r\n");
    EXPECT_EQ(forwardedHead(absolute, *absoluteTarget(absolute)),
              "GET /p HTTP/1.1\r\nX: GET /p HTTP/1.1\r\n\r\n");
}

}  // namespace
}  // namespace nimbra::http_head
