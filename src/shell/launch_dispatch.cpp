#include "shell/launch_dispatch.hpp"

#include "shell/controller_model.hpp"
#include "shell/main_window_lifecycle.hpp"

namespace nimbra::shell {

void carryOut(LaunchRequest request, MainWindowLifecycle& window, ControllerModel& model) {
    if (request == LaunchRequest::toggleConnection) {
        model.toggle();
    } else {
        window.handle(request);
    }
}

}  // namespace nimbra::shell
