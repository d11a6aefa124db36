#pragma once

#include <deque>
#include <string>
#include <string_view>

namespace nimbra {

// What the engine remembers of usque's output: the last line, the newest dozen lines for error
// hints, and whether a line has announced the tunnel. Not synchronised; the engine guards it.
class UsqueOutput {
public:
    static constexpr size_t kRecentLines = 12;

    // Records one non-empty, trimmed line; returns whether it announced readiness.
    bool add(std::string line);
    void clear();

    const std::string& lastLine() const { return lastLine_; }
    const std::deque<std::string>& recent() const { return recent_; }
    // The line most likely to explain a failure (see errorHint).
    std::string hint() const;

private:
    std::string lastLine_;
    std::deque<std::string> recent_;
};

// usque says one of these once the MASQUE tunnel is up; matched ignoring case.
bool isReadinessLine(std::string_view line);

// The newest line that reads like an error; else the last three lines joined with " | ";
// with no recent lines, the last line.
std::string errorHint(const std::string& lastLine, const std::deque<std::string>& recent);

}  // namespace nimbra
