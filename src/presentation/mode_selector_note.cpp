#include "presentation/mode_selector_note.hpp"

namespace nimbra::presentation {
namespace {

// Whether the connection runs with a value of its own (it has one) other than the chosen one.
template <typename Value>
bool differs(const std::optional<Value>& running, const Value& chosen) {
    return running && *running != chosen;
}

}  // namespace

ChoiceTiming choiceTiming(const ControllerSnapshot& snapshot) {
    if (differs(snapshot.runningMode, snapshot.connectionMode) ||
        differs(snapshot.runningHttp2, snapshot.http2)) {
        return ChoiceTiming::nextConnect;
    }
    if (differs(snapshot.runningSplit, snapshot.splitTunnelMode) ||
        differs(snapshot.runningGateway, snapshot.nat64Gateway)) {
        return ChoiceTiming::applyingNow;
    }
    return ChoiceTiming::inEffect;
}

std::string modeSelectorNote(const ControllerSnapshot& snapshot, AppLanguage language) {
    switch (choiceTiming(snapshot)) {
        case ChoiceTiming::nextConnect:
            return std::string(pick(language, "Applies at next connect", "下次连接时生效"));
        case ChoiceTiming::applyingNow:
            return std::string(
                pick(language, "Applying to this connection…", "正在应用到当前连接…"));
        case ChoiceTiming::inEffect:
            break;
    }
    return {};
}

}  // namespace nimbra::presentation
