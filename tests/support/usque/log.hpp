#pragma once

#include <string_view>

namespace nimbra::standin {

// One line on stderr the way usque logs: local time as "2006/01/02 15:04:05 " first, then the
// text. Each line goes out in a single write(), so a reader never sees half a line.
void logLine(std::string_view text);

}  // namespace nimbra::standin
