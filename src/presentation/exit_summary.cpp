#include "presentation/exit_summary.hpp"

#include <string_view>

namespace nimbra::presentation {
namespace {

bool known(std::string_view field) {
    return !field.empty() && field != "—";
}

void append(std::string& into, std::string_view separator, std::string_view piece) {
    if (!into.empty()) into += separator;
    into += piece;
}

}  // namespace

std::string exitSummary(const ControllerSnapshot& snapshot) {
    std::string place;
    for (const std::string* field : {&snapshot.exitLoc, &snapshot.exitColo}) {
        if (known(*field)) append(place, "/", *field);
    }
    std::string summary;
    if (known(snapshot.exitIp)) summary = snapshot.exitIp;
    if (!place.empty()) append(summary, " · ", place);
    return summary;
}

std::string statusExitSummary(const ControllerSnapshot& snapshot, AppLanguage language) {
    // An exit measured through our own tunnel, still shown after it went down, is not another
    // client's.
    if (!snapshot.isConnected() && !snapshot.exitViaTunnel && snapshot.exitWarp == "on") {
        return std::string(pick(language, "Exit via official WARP", "当前出口经官方 WARP"));
    }
    std::string summary = exitSummary(snapshot);
    if (known(snapshot.exitWarp)) append(summary, " · ", "warp=" + snapshot.exitWarp);
    return summary;
}

}  // namespace nimbra::presentation
