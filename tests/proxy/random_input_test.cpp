#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "proxy_input_checks.hpp"

// Where clang's libFuzzer is missing, this still throws a few hundred thousand mutated inputs at
// the parsers behind the local proxies; the checks abort on any broken invariant, and the
// sanitizer build turns out-of-bounds reads into failures.
namespace nimbra {
namespace {

const std::vector<std::string> kRequestHeads{
    "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n\x16\x03\x01",
    "GET http://user@[::1]:8080/a?b=1#f HTTP/1.0\r\nHost: x\r\n\r\n",
    "get /proxy.pac?t=1 HTTP/1.1\r\n\r\n",
    "POST /x HTTP/1.1\r\nhost: h:81\r\nContent-Length: 2\r\n\r\nab",
    "GET https://example.com/ HTTP/1.1\v\f\xc2\x85\xe2\x80\xa8Host: y\r\n\r\n",
};

using namespace std::string_literals;  // the SOCKS messages hold zero bytes
const std::vector<std::string> kSocksMessages{
    "\x05\x02\x00\x02\x05\x01\x00\x03\x0b"
    "example.com\x01\xbb"s,
    "\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x50"s,
    "\x05\x00\x05\x03\x00\x04"s + std::string(16, '\0') + "\x00\x50"s,
    "\x05\x00\x00\x03\x04host\x01\xbb"s,
};

std::string mutate(std::string input, std::mt19937& random) {
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < edits; ++i) {
        const std::size_t at = input.empty() ? 0 : random() % input.size();
        const char byte = static_cast<char>(random() & 0xFF);
        switch (random() % 4) {
            case 0:
                if (!input.empty()) input[at] = byte;
                break;
            case 1:
                input.insert(at, 1, byte);
                break;
            case 2:
                input.erase(at, 1 + random() % 4);
                break;
            default:
                input.insert(at, std::string(random() % 3 == 0 ? "\r\n" : ":", 1 + random() % 2));
        }
    }
    return input;
}

// The seeds as they are, then mutations of them.
template <typename Check>
void throwMutationsAt(const std::vector<std::string>& seeds, Check check, unsigned seed) {
    auto feed = [&](const std::string& input) {
        check(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    };
    for (const std::string& input : seeds) feed(input);
    std::mt19937 random(seed);
    for (int i = 0; i < 100'000; ++i) feed(mutate(seeds[random() % seeds.size()], random));
}

TEST(RandomInput, RequestHeadParsingHoldsItsInvariants) {
    throwMutationsAt(kRequestHeads, fuzz::checkRequestHead, 1);
}

TEST(RandomInput, SocksMessageParsingHoldsItsInvariants) {
    throwMutationsAt(kSocksMessages, fuzz::checkSocksMessages, 2);
}

}  // namespace
}  // namespace nimbra
