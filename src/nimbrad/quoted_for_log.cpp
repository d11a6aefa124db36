#include "nimbrad/quoted_for_log.hpp"

#include <cstdio>

namespace nimbra::nimbrad {
namespace {

struct Character {
    std::size_t length;  // 0: the byte does not start valid UTF-8
    char32_t code;
};

Character decodeUtf8(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {1, lead};
    std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    if (lead < 0xc2 || lead > 0xf4 || text.size() < length) return {0, 0};
    char32_t code = lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return {0, 0};
        code = code << 6 | (byte(i) & 0x3fu);
    }
    const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < smallest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return {0, 0};
    return {length, code};
}

bool mustEscape(char32_t code) {
    return code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x2028 || code == 0x2029 ||
           code == 0x200e || code == 0x200f || (code >= 0x202a && code <= 0x202e) ||
           (code >= 0x2066 && code <= 0x2069);
}

void appendEscaped(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
        out += escaped;
    }
}

}  // namespace

std::string quotedForLog(std::string_view text, std::size_t maxCharacters) {
    std::string out = "\"";
    for (std::size_t shown = 0; !text.empty(); ++shown) {
        if (shown == maxCharacters) {
            out += "…";
            break;
        }
        const Character next = decodeUtf8(text);
        const std::size_t length = next.length == 0 ? 1 : next.length;
        const std::string_view bytes = text.substr(0, length);
        if (next.length == 0 || mustEscape(next.code))
            appendEscaped(out, bytes);
        else if (next.code == '"' || next.code == '\\')
            (out += '\\') += static_cast<char>(next.code);
        else
            out += bytes;
        text.remove_prefix(length);
    }
    return out + "\"";
}

}  // namespace nimbra::nimbrad
