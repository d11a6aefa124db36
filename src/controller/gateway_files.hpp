#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "controller/connection_services.hpp"

namespace nimbra {

// The exit gateway as the files name it: usque's registration file and nimbrad's configuration.
// Each choice is written as it is made, and a live switch makes sure of its own before it
// restarts; all of these run on the lifecycle pool, where two writes may overlap and an older
// one may land last. So every write carries the number of its choice: writes run one at a time,
// a choice a newer one has overtaken is never written, and a choice is written once.
class GatewayFiles {
public:
    // Numbers a new choice, and the latest one; core thread only.
    uint64_t choose() { return ++chosen_; }
    uint64_t latest() const { return chosen_; }

    // Points both files at `prefix` (nimbrad's configuration with `http2`) unless choice `number`
    // or a newer one was written already. Blocking, from any thread; never throws.
    void write(uint64_t number, const ConnectionServices& services, const std::string& prefix,
               bool http2);

private:
    uint64_t chosen_ = 0;
    std::mutex mutex_;
    uint64_t written_ = 0;  // guarded by mutex_
};

}  // namespace nimbra
