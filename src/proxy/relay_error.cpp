#include "proxy/relay_error.hpp"

namespace nimbra {
namespace {

std::string describe(const RelayError::BindFailed& reason) {
    return "HTTP→SOCKS 网关启动失败: " + reason.message;
}

}  // namespace

RelayError::RelayError(BindFailed reason)
    : LocalizedError(describe(reason)), reason_(std::move(reason)) {}

std::string RelayError::description(AppLanguage) const {
    return describe(reason_);
}

}  // namespace nimbra
