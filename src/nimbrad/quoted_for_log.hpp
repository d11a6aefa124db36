#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nimbra::nimbrad {

// `text` in double quotes, safe to put in a log line however hostile it is: quotes and
// backslashes escaped; control characters (C0, DEL, C1), line and paragraph separators, bidi
// overrides and bytes that are not UTF-8 written as \xNN per byte, so one value can neither
// start a line of its own nor change how the rest of the line reads; cut after `maxCharacters`
// characters with "…".
std::string quotedForLog(std::string_view text, std::size_t maxCharacters = 80);

}  // namespace nimbra::nimbrad
