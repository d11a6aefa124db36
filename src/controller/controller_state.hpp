#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/snapshot_publisher.hpp"
#include "controller/controller_snapshot.hpp"
#include "diagnostics/trace_probe.hpp"
#include "model/app_preferences.hpp"
#include "model/conflict_hint.hpp"
#include "model/http2_tip_kind.hpp"
#include "observe/network_conflict_detector.hpp"

namespace nimbra {

// The controller's published fields, with the private display state that goes with them (which
// tip and which conflict hints are shown, so they can be re-rendered in another language).
// Every change goes through update(), and one update publishes one snapshot. Core thread only.
class ControllerState {
public:
    explicit ControllerState(AppPreferences preferences);

    const ControllerSnapshot& snapshot() const { return state_; }
    AppLanguage language() const { return prefs_.uiLanguage(); }
    std::optional<Http2TipKind> http2TipKind() const { return http2TipKind_; }

    using Poster = std::function<void(std::function<void()>)>;
    using SnapshotHandler = std::function<void(SnapshotPtr)>;
    uint64_t subscribe(Poster post, SnapshotHandler handler);
    void unsubscribe(uint64_t subscription);

    template <typename Mutation>
    void update(Mutation&& mutate) {
        mutate(state_);
        publisher_.publish(state_);
    }

    void setDetail(std::string detail);
    void setHttp2Tip(std::optional<Http2TipKind> kind);
    // Copies a fetched probe into the exit fields; an unfetched one changes nothing.
    void applyProbe(const TraceProbe& probe, bool viaTunnel);
    void clearExitDisplay();
    void clearTunStatus();
    // Nothing runs any more: the running* fields are emptied.
    void clearRunning();
    // What the last exchange with nimbrad told; a snapshot only when that changes.
    void setDaemonReachable(bool reachable);
    void applyConflictReport(const ConflictReport& report);
    // Re-renders what depends on the language: the banner, the tip and a resting status text.
    void relocalize();

private:
    AppPreferences prefs_;
    ControllerSnapshot state_;
    SnapshotPublisher<ControllerSnapshot> publisher_{state_};
    std::optional<Http2TipKind> http2TipKind_;
    std::vector<ConflictHint> lastConflictHints_;
};

}  // namespace nimbra
