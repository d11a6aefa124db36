#include "presentation/detail_line.hpp"

#include "base/text.hpp"
#include "l10n/l10n.hpp"
#include "presentation/exit_summary.hpp"

namespace nimbra::presentation {
namespace {

constexpr std::size_t kLongestDetail = 40;
constexpr std::size_t kKeptWhenCut = 38;

bool continuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The byte offset after the first `count` code points, or npos when there are no more.
std::size_t offsetAfter(std::string_view text, std::size_t count) {
    std::size_t offset = 0;
    for (std::size_t seen = 0; seen < count; ++seen) {
        if (offset >= text.size()) return std::string_view::npos;
        ++offset;
        while (offset < text.size() && continuationByte(text[offset])) ++offset;
    }
    return offset;
}

std::string say(AppLanguage language, std::string_view english, std::string_view chinese) {
    return std::string(pick(language, english, chinese));
}

}  // namespace

std::string shortDetail(std::string_view detail) {
    const std::string_view trimmed = text::trim(detail);
    if (offsetAfter(trimmed, kLongestDetail + 1) == std::string_view::npos) {
        return std::string(trimmed);
    }
    return std::string(trimmed.substr(0, offsetAfter(trimmed, kKeptWhenCut))) + "…";
}

std::string detailLine(const ControllerSnapshot& snapshot, AppLanguage language) {
    const WarpPhase phase = snapshot.phase;
    // Before the connect flag: a cancelled connect keeps that flag through its teardown, which
    // must not read as a tunnel still being built.
    if (phase == WarpPhase::stopping) return L10n::trayCleaningUp(language);
    if (snapshot.connecting || phase == WarpPhase::preparing ||
        phase == WarpPhase::startingEngine) {
        return L10n::trayEstablishingTunnel(language);
    }
    const std::string detail = shortDetail(snapshot.detail);
    if (phase == WarpPhase::reconnecting && !detail.empty()) return detail;
    if (snapshot.exitProbing) return say(language, "Checking exit…", "查询出口…");
    // The start-up ready text is known by its flag: its words follow the language.
    if (phase == WarpPhase::error && !detail.empty() && !snapshot.ready) return detail;
    std::string summary = statusExitSummary(snapshot, language);
    if (!summary.empty()) return summary;
    if (snapshot.isConnected()) return say(language, "Tunnel ready", "隧道已就绪");
    return say(language, "Ready to connect", "准备连接");
}

bool detailInFigureFont(std::string_view line) {
    return line.find_first_of(".:") != std::string_view::npos ||
           line.find("warp=") != std::string_view::npos;
}

}  // namespace nimbra::presentation
