#pragma once

#include <stop_token>

namespace nimbra {

// The stop request that the blocking call running on this thread answers to. A pool thread runs
// a task's blocking step inside a StopScope carrying the task's cancellation, so the child
// processes that step waits for (a registration, a curl probe, an administrator prompt) are ended
// when the task is cancelled, instead of holding the task -- and the program's exit -- until they
// finish on their own. Outside any scope the token can never be stopped.
std::stop_token currentStopToken();

class StopScope {
public:
    explicit StopScope(std::stop_token token);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    std::stop_token previous_;
};

}  // namespace nimbra
