#include "model/timings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace nimbra {

Timings Timings::scaled(double factor) const {
    auto scale = [factor](Duration& d) {
        const auto count = std::llround(static_cast<double>(d.count()) * factor);
        d = Duration(std::max<long long>(1, count));
    };
    Timings t = *this;
    for (Duration* d : {&t.connectRace,
                        &t.masqueReadiness,
                        &t.readinessPoll,
                        &t.portFreeBeforeStart,
                        &t.portFreeWait,
                        &t.childStopGrace,
                        &t.pidPoll,
                        &t.trafficSample,
                        &t.relayUpstreamWait,
                        &t.relayHeadWait,
                        &t.gatewayDialWait,
                        &t.healthFirstCheck,
                        &t.healthInterval,
                        &t.gatewaySwitchSettle,
                        &t.networkChangeDebounce,
                        &t.daemonReadiness,
                        &t.daemonReadyPoll,
                        &t.daemonStatusPoll,
                        &t.quitCleanup,
                        &t.quitDrainWait}) {
        scale(*d);
    }
    return t;
}

Timings Timings::forThisRun() {
    const char* raw = std::getenv("NIMBRA_TEST_TIMING_SCALE");
    if (raw == nullptr) return standard();
    char* end = nullptr;
    const double factor = std::strtod(raw, &end);
    if (end == raw || *end != '\0' || !(factor > 0.0 && factor <= 1.0)) return standard();
    return standard().scaled(factor);
}

}  // namespace nimbra
