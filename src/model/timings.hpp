#pragma once

#include <chrono>

namespace nimbra {

// Every time-out and interval of the connection logic, in one value that is injected so tests
// can run whole flows in milliseconds. The defaults are the product's real timings.
struct Timings {
    using Duration = std::chrono::milliseconds;

    Duration connectRace{90'000};         // a connect attempt, retries included, loses after this
    Duration masqueReadiness{45'000};     // wait for usque to report the tunnel up
    Duration readinessPoll{200};          // re-check of the engine during that wait
    Duration portFreeBeforeStart{2'000};  // wait for a replaced usque to release the SOCKS port
    Duration portFreeWait{1'500};         // wait for a stale listener to release the SOCKS port
    Duration childStopGrace{3'000};       // SIGTERM to SIGKILL for our own usque child
    Duration pidPoll{50};                 // polls while a pid ends or a port frees
    Duration trafficSample{1'000};        // throughput sampling
    Duration relayUpstreamWait{8'000};    // the HTTP relay's SOCKS5 tunnel open, handshake included
    Duration relayHeadWait{30'000};       // a client's first request head, from accept to its end
    Duration gatewayDialWait{12'000};     // the SOCKS5 gateway's outgoing connection
    Duration healthFirstCheck{15'000};    // connected until the first health check
    Duration healthInterval{30'000};      // from the end of one health check to the next
    Duration gatewaySwitchSettle{600};    // after a live gateway switch, before the exit probe
    Duration networkChangeDebounce{2'000};  // a burst of network changes gives one check
    Duration daemonReadiness{45'000};       // nimbrad's tunnel up after "start" or "restart"
    Duration daemonReadyPoll{350};          // "status" polls during that wait
    Duration daemonStatusPoll{3'000};       // the daemon's state mirrored while its TUN is up
    Duration quitCleanup{5'000};    // quitting: stopping and restoring what this run started
    Duration quitDrainWait{1'000};  // quitting: cancelled tasks finishing their own clean-up

    static Timings standard() { return {}; }
    // Every duration multiplied by `factor` (at least 1 ms each).
    Timings scaled(double factor) const;
    // The standard timings, or, for end-to-end tests of the programs, scaled by the factor in
    // NIMBRA_TEST_TIMING_SCALE (between 0 and 1; anything else is ignored).
    static Timings forThisRun();
};

}  // namespace nimbra
