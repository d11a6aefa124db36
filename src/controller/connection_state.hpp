#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "base/async/task.hpp"
#include "controller/connection_ledger.hpp"
#include "controller/daemon_gate.hpp"
#include "model/connection_mode.hpp"

namespace nimbra {

// What the controller knows about its connection beyond the published fields.
struct ConnectionState {
    // Whether an attempt is under way is published: ControllerSnapshot::connecting.
    // Of connections and the idle periods between them; bumped by every connect, cancel,
    // disconnect and quit, and only ever grows. Work that captured an older value (an attempt, a
    // refresh) belongs to a connection that has ended and must not write.
    int64_t generation = 0;
    std::optional<TaskHandle> attemptTask;
    // The daemon commands of the latest attempt; a cancel closes it with its "stop".
    std::shared_ptr<DaemonGate> daemonGate;
    // The mode of the latest attempt: what a cancel or quit stops follows it, not a mode chosen
    // since.
    ConnectionMode attemptMode = ConnectionMode::socks;
    // What the established connection started.
    ConnectionLedger ledger;
    // Teardowns still stopping things. A connect asked for meanwhile waits for them, so their
    // engine stop can never hit the new attempt's usque and their final state never hides it.
    int teardowns = 0;
    bool connectWhenIdle = false;
};

}  // namespace nimbra
