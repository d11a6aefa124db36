#pragma once

#include "controller/controller_snapshot.hpp"
#include "daemon/daemon_reply.hpp"

namespace nimbra {

// Copies what nimbrad reports into the published fields: interface, live DNS mode, whether the
// forwarder runs, the exclusions, where the China ranges came from, and the DNS warning (the
// daemon's own DNS error wins; a running forwarder clears a warning about DNS but keeps one about
// anything else, such as a refused exclusion). Only fields whose value differs are assigned; true
// when any was, so a caller can skip publishing a snapshot that would change nothing.
bool mirrorDaemonStatus(ControllerSnapshot& snapshot, const DaemonClient::Status& status);

}  // namespace nimbra
