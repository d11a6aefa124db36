#pragma once

#include "model/warp_phase.hpp"

namespace nimbra::presentation {

// The tray icon's four looks: a plain shield, a checked one, a half-filled one while the
// connection moves, and an orange exclamation mark on error.
enum class TrayIconState { disconnected, connected, busy, error };

constexpr TrayIconState trayIconState(WarpPhase phase) {
    switch (phase) {
        case WarpPhase::connected:
            return TrayIconState::connected;
        case WarpPhase::error:
            return TrayIconState::error;
        case WarpPhase::preparing:
        case WarpPhase::startingEngine:
        case WarpPhase::reconnecting:
        case WarpPhase::stopping:
            return TrayIconState::busy;
        case WarpPhase::disconnected:
            break;
    }
    return TrayIconState::disconnected;
}

}  // namespace nimbra::presentation
