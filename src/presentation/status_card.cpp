#include "presentation/status_card.hpp"

#include "base/text.hpp"

namespace nimbra::presentation {

ColorRole statusColor(const ControllerSnapshot& snapshot) {
    switch (snapshot.phase) {
        case WarpPhase::connected:
            return ColorRole::emerald;
        case WarpPhase::error:
            return ColorRole::coral;
        case WarpPhase::disconnected:
            return snapshot.conflictBlocking ? ColorRole::amber : ColorRole::text;
        case WarpPhase::preparing:
        case WarpPhase::startingEngine:
        case WarpPhase::reconnecting:
        case WarpPhase::stopping:
            break;
    }
    return ColorRole::amber;
}

bool statusRingMoves(WarpPhase phase) {
    return phase != WarpPhase::disconnected && phase != WarpPhase::error;
}

bool connectButtonEnabled(const ControllerSnapshot& snapshot) {
    return snapshot.phase != WarpPhase::stopping;
}

std::optional<std::string> conflictBannerText(const ControllerSnapshot& snapshot,
                                              AppLanguage language) {
    const WarpPhase phase = snapshot.phase;
    const bool noConnection = phase == WarpPhase::disconnected || phase == WarpPhase::stopping ||
                              phase == WarpPhase::error;
    if (!noConnection || snapshot.connecting) return std::nullopt;
    std::string text(text::trim(snapshot.conflictBanner));
    if (text.empty() && snapshot.conflictBlocking) {
        text = pick(language, "Disconnect official WARP first", "请先断开官方 WARP");
    }
    // A banner of blanks alone would be an empty box with a button: nothing to say, no banner.
    if (text.empty()) return std::nullopt;
    return text;
}

std::string usqueMissingNotice(const ControllerSnapshot& snapshot, std::string_view fetchScript,
                               AppLanguage language) {
    if (snapshot.usqueFound) return "";
    return std::string(pick(language, "usque was not found: run ", "未找到 usque：请运行 ")) +
           std::string(fetchScript) +
           std::string(pick(language, " to get it, then connect.", " 获取后再连接。"));
}

}  // namespace nimbra::presentation
