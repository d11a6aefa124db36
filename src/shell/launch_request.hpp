#pragma once

namespace nimbra::shell {

// What a launch asks of Nimbra: a plain launch shows the main window, "--toggle" shows or hides
// it, "--show-app-rules" shows it on the per-app rules tab, "--toggle-connection" connects or
// disconnects (the button's action) and leaves the window as it is. The first launch does it
// itself; a later one passes it to the first and exits.
enum class LaunchRequest { show, toggle, showAppRules, toggleConnection };

LaunchRequest launchRequest(int argc, const char* const* argv);

// True when "--hidden" is among the arguments: start without showing the window (autostart).
bool startsHidden(int argc, const char* const* argv);

}  // namespace nimbra::shell
