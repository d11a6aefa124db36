#pragma once

#include <gtest/gtest.h>

#include "daemon/daemon_error.hpp"

namespace nimbra::testing {

// Runs `action` and returns the DaemonError it throws; fails the test when it throws none.
template <typename Action>
DaemonError daemonErrorOf(Action&& action) {
    try {
        action();
    } catch (const DaemonError& error) {
        return error;
    }
    ADD_FAILURE() << "no DaemonError";
    return DaemonError(DaemonError::ConnectFailed{"(none thrown)"});
}

}  // namespace nimbra::testing
