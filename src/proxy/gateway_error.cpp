#include "proxy/gateway_error.hpp"

namespace nimbra {
namespace {

std::string describe(const GatewayError::BindFailed& reason, int socksPortSetting) {
    return "兼容 SOCKS :" + std::to_string(socksPortSetting) + " 启动失败: " + reason.message;
}

}  // namespace

GatewayError::GatewayError(BindFailed reason, int socksPortSetting)
    : LocalizedError(describe(reason, socksPortSetting)),
      reason_(std::move(reason)),
      socksPortSetting_(socksPortSetting) {}

std::string GatewayError::description(AppLanguage) const {
    return describe(reason_, socksPortSetting_);
}

}  // namespace nimbra
