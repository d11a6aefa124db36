#pragma once

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace nimbra::testing {

// Runs the GUI event loop until `done()` holds or `timeout` has passed; returns the last `done()`.
// The default only bounds a wait that should end: a slow machine never fails by it.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace nimbra::testing
