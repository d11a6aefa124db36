#include "presentation/tray_subtitle.hpp"

#include "l10n/l10n.hpp"
#include "presentation/exit_summary.hpp"

namespace nimbra::presentation {

std::string traySubtitle(const ControllerSnapshot& snapshot, AppLanguage language) {
    const WarpPhase phase = snapshot.phase;
    // Before the attempt's own line: a cancelled attempt stays `connecting` while it cleans up.
    if (phase == WarpPhase::stopping) return L10n::trayCleaningUp(language);
    if (snapshot.connecting || phase == WarpPhase::preparing ||
        phase == WarpPhase::startingEngine) {
        // The exit of the previous connection is stale by now: no summary until this one is up.
        return L10n::trayEstablishingTunnel(language);
    }
    if (phase == WarpPhase::reconnecting && !snapshot.detail.empty()) return snapshot.detail;
    if (snapshot.conflictBlocking && !snapshot.isConnected()) {
        return L10n::trayDisconnectOfficialWarp(language);
    }
    // Not connected, the summary needs an address: a location alone is a left-over of an old run.
    if (!snapshot.isConnected() && (snapshot.exitIp.empty() || snapshot.exitIp == "—")) return {};
    return exitSummary(snapshot);
}

}  // namespace nimbra::presentation
