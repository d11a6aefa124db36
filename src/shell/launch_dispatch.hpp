#pragma once

#include "shell/launch_request.hpp"

namespace nimbra::shell {

class ControllerModel;
class MainWindowLifecycle;

// Carries out what a launch asked for, this one's or a later one's: the window's requests go to
// its lifecycle, a connection toggle to the model (returning at once, as the button does).
void carryOut(LaunchRequest request, MainWindowLifecycle& window, ControllerModel& model);

}  // namespace nimbra::shell
