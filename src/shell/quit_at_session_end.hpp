#pragma once

class QGuiApplication;

namespace nimbra::shell {

// Quits, through the same path as Quit and Ctrl+Q, when the desktop session ends (its session
// manager asks us to commit our data before logging out). Waiting for the later "die" is not
// safe: the session may tear the display and the settings service down first, and a program
// whose display breaks is ended by Qt on the spot, leaving the desktop's proxy settings pointing
// at a relay that is gone. Also tells the session manager not to restart us at the next login:
// the autostart entry does that, and a restored copy would only ask the first to show its window.
void quitAtSessionEnd(QGuiApplication& app);

}  // namespace nimbra::shell
