#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbra::base64 {

// Standard alphabet with '=' padding.
std::string encode(std::string_view bytes);

// None when the text is not valid padded base64.
std::optional<std::string> decode(std::string_view text);

}  // namespace nimbra::base64
