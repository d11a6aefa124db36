#pragma once

#include <asio/awaitable.hpp>

#include "controller/start_outcome.hpp"

namespace nimbra {

class WarpController;

// The product's start sequence for one connect attempt.
asio::awaitable<StartOutcome> startTunnel(WarpController& controller, StartRequest request);

}  // namespace nimbra
