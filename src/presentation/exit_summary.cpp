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

}  // namespace nimbra::presentation
