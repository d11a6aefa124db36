#pragma once

namespace nimbra::shell {

// Makes SIGINT, SIGTERM and SIGHUP end the Qt event loop as a normal quit would, so the core is
// shut down in order. The signal handler only writes to a pipe; the GUI thread does the rest. Call
// once, after the application object exists.
void quitOnTerminationSignals();

}  // namespace nimbra::shell
