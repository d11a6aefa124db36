#include "engine/usque_engine.hpp"

namespace nimbra {

bool UsqueEngine::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void UsqueEngine::stop() {
    std::lock_guard lock(mutex_);
    running_ = false;
}

}  // namespace nimbra
