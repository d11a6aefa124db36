#include "base/text.hpp"

#include <algorithm>
#include <optional>

namespace nimbra::text {
namespace {

unsigned char byteAt(std::string_view text, size_t index) {
    return index < text.size() ? static_cast<unsigned char>(text[index]) : 0;
}

// Length of the line break starting at `pos`, 0 if none does. Matching bytes one at a time is
// safe for UTF-8: the lead bytes C2 and E2 never occur inside another character, so a 0x85 or
// 0xA8 continuation byte of, say, a Chinese character is never mistaken for a break.
size_t lineBreakLength(std::string_view text, size_t pos) {
    switch (byteAt(text, pos)) {
        case '\n':
        case '\v':
        case '\f':
            return 1;
        case '\r':
            return byteAt(text, pos + 1) == '\n' ? 2 : 1;
        case 0xC2:  // U+0085 NEL
            return byteAt(text, pos + 1) == 0x85 ? 2 : 0;
        case 0xE2: {  // U+2028, U+2029
            const unsigned char last = byteAt(text, pos + 2);
            return byteAt(text, pos + 1) == 0x80 && (last == 0xA8 || last == 0xA9) ? 3 : 0;
        }
        default:
            return 0;
    }
}

bool isAsciiWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

template <typename Predicate>
std::string_view trimIf(std::string_view text, Predicate strip) {
    while (!text.empty() && strip(text.front())) text.remove_prefix(1);
    while (!text.empty() && strip(text.back())) text.remove_suffix(1);
    return text;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// What a lead byte promises: the sequence length and the range its second byte must fall in.
// Narrowing that range is what rules out overlong forms (E0, F0), surrogates (ED) and code points
// past U+10FFFF (F4); later bytes are plain continuation bytes.
struct SequenceShape {
    size_t length;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
};

std::optional<SequenceShape> shapeOf(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return SequenceShape{2};
    if (lead == 0xE0) return SequenceShape{3, 0xA0};
    if (lead == 0xED) return SequenceShape{3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return SequenceShape{3};
    if (lead == 0xF0) return SequenceShape{4, 0x90};
    if (lead >= 0xF1 && lead <= 0xF3) return SequenceShape{4};
    if (lead == 0xF4) return SequenceShape{4, 0x80, 0x8F};
    return std::nullopt;  // a stray continuation byte, C0/C1 (always overlong) or F5 and up
}

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the valid sequence at `pos`, 0 if it is not valid.
size_t validSequenceLength(std::string_view text, size_t pos) {
    const unsigned char lead = byteAt(text, pos);
    if (lead < 0x80) return 1;
    const auto shape = shapeOf(lead);
    if (!shape || text.size() - pos < shape->length) return 0;
    const unsigned char second = byteAt(text, pos + 1);
    if (second < shape->secondLow || second > shape->secondHigh) return 0;
    for (size_t i = 2; i < shape->length; ++i) {
        if (!isContinuation(byteAt(text, pos + i))) return 0;
    }
    return shape->length;
}

}  // namespace

std::vector<std::string> splitLines(std::string_view utf8) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t pos = 0;
    while (pos < utf8.size()) {
        const size_t breakLength = lineBreakLength(utf8, pos);
        if (breakLength == 0) {
            ++pos;
            continue;
        }
        if (pos > start) lines.emplace_back(utf8.substr(start, pos - start));
        pos += breakLength;
        start = pos;
    }
    if (start < utf8.size()) lines.emplace_back(utf8.substr(start));
    return lines;
}

std::string_view trim(std::string_view text) {
    return trimIf(text, isAsciiWhitespace);
}

std::string_view trimSpacesAndTabs(std::string_view text) {
    return trimIf(text, isSpaceOrTab);
}

std::string toLowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), lowerAscii);
    return lower;
}

bool containsCaseInsensitive(std::string_view haystack, std::string_view needle) {
    const auto found = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                                   [](char a, char b) { return lowerAscii(a) == lowerAscii(b); });
    return found != haystack.end() || needle.empty();
}

bool isValidUtf8(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t length = validSequenceLength(text, pos);
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

}  // namespace nimbra::text
