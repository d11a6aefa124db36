#include "base/stop_scope.hpp"

#include <utility>

namespace nimbra {
namespace {

thread_local std::stop_token current;

}  // namespace

std::stop_token currentStopToken() {
    return current;
}

StopScope::StopScope(std::stop_token token) : previous_(std::exchange(current, std::move(token))) {}

StopScope::~StopScope() {
    current = std::move(previous_);
}

}  // namespace nimbra
