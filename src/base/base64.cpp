#include "base/base64.hpp"

#include <array>
#include <cstdint>

namespace nimbra::base64 {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeReverse() {
    std::array<int8_t, 256> reverse{};
    reverse.fill(-1);
    for (size_t i = 0; i < kAlphabet.size(); ++i) {
        reverse[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    }
    return reverse;
}
constexpr auto kReverse = makeReverse();

}  // namespace

std::string encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                     uint8_t(bytes[i + 2]);
        for (int shift : {18, 12, 6, 0}) out += kAlphabet[(n >> shift) & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
        if (rest == 2) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        uint32_t n = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=' && last && j >= 2) {
                ++padding;
                n <<= 6;
                continue;
            }
            const int8_t value = kReverse[static_cast<unsigned char>(c)];
            if (value < 0 || padding > 0) return std::nullopt;
            n = (n << 6) | uint32_t(value);
        }
        out += char((n >> 16) & 0xFF);
        if (padding < 2) out += char((n >> 8) & 0xFF);
        if (padding < 1) out += char(n & 0xFF);
    }
    return out;
}

}  // namespace nimbra::base64
