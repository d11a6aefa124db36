#include "observe/warp_status_parser.hpp"

#include <string_view>

#include "base/text.hpp"

namespace nimbra {
namespace {

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

bool saysConnected(std::string_view lowercase) {
    return contains(lowercase, "connected") && !contains(lowercase, "disconnected");
}

}  // namespace

bool warpStatusSaysConnected(const std::string& statusText) {
    bool connected = saysConnected(text::toLowerAscii(statusText));

    std::string_view rest = statusText;
    while (!rest.empty()) {
        const size_t newline = rest.find('\n');
        const std::string_view raw = rest.substr(0, newline);
        rest = newline == std::string_view::npos ? std::string_view{} : rest.substr(newline + 1);

        const std::string line = text::toLowerAscii(text::trimSpacesAndTabs(raw));
        if (!line.starts_with("status update:") && !line.starts_with("status:")) continue;
        if (saysConnected(line)) {
            connected = true;
        } else if (contains(line, "disconnected")) {
            connected = false;
        }
    }
    return connected;
}

}  // namespace nimbra
