#include "engine/usque_output.hpp"

#include "base/text.hpp"

namespace nimbra {

bool isReadinessLine(std::string_view line) {
    for (const char* phrase : {"Connected to MASQUE server", "Successfully connected to Cloudflare",
                               "Tunnel established"}) {
        if (text::containsCaseInsensitive(line, phrase)) return true;
    }
    return false;
}

std::string errorHint(const std::string& lastLine, const std::deque<std::string>& recent) {
    if (recent.empty()) return lastLine;
    for (auto line = recent.rbegin(); line != recent.rend(); ++line) {
        for (const char* marker :
             {"failed", "error", "address already in use", "bind:", "permission denied"}) {
            if (text::containsCaseInsensitive(*line, marker)) return *line;
        }
    }
    std::string joined;
    const size_t first = recent.size() > 3 ? recent.size() - 3 : 0;
    for (size_t i = first; i < recent.size(); ++i) {
        if (!joined.empty()) joined += " | ";
        joined += recent[i];
    }
    return joined;
}

bool UsqueOutput::add(std::string line) {
    const bool ready = isReadinessLine(line);
    lastLine_ = line;
    recent_.push_back(std::move(line));
    while (recent_.size() > kRecentLines) recent_.pop_front();
    return ready;
}

void UsqueOutput::clear() {
    lastLine_.clear();
    recent_.clear();
}

std::string UsqueOutput::hint() const {
    return errorHint(lastLine_, recent_);
}

}  // namespace nimbra
