#pragma once

#include <string>
#include <string_view>
#include <vector>

// Small text helpers. Everything here works on UTF-8 bytes and folds case for ASCII only: the
// text we inspect (command output, protocol fields) is not natural-language text, and a
// locale-dependent result would make behaviour differ between users.
namespace nimbra::text {

// Splits at every line break Unicode knows: LF, CR, CR LF (one break), VT, FF, NEL (U+0085),
// LINE SEPARATOR (U+2028) and PARAGRAPH SEPARATOR (U+2029). Empty pieces are dropped.
std::vector<std::string> splitLines(std::string_view utf8);

// Strips ASCII whitespace: space, tab, CR, LF, VT, FF.
std::string_view trim(std::string_view text);
std::string_view trimSpacesAndTabs(std::string_view text);

std::string toLowerAscii(std::string_view text);

// ASCII case-insensitive substring test. An empty needle is contained in everything.
bool containsCaseInsensitive(std::string_view haystack, std::string_view needle);

// Strict UTF-8: rejects overlong forms, surrogates (U+D800..U+DFFF), code points beyond U+10FFFF
// and truncated sequences.
bool isValidUtf8(std::string_view text);

}  // namespace nimbra::text
