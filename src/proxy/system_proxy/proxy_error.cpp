#include "proxy/system_proxy/proxy_error.hpp"

#include "model/app_language.hpp"

namespace nimbra {
namespace {

struct Describe {
    AppLanguage language;

    // The tool's own words, in whatever language it speaks.
    std::string operator()(const ProxyError::CommandFailed& e) const { return e.message; }
    std::string operator()(const ProxyError::NoService&) const {
        return "找不到可用的网络服务（Wi-Fi / Ethernet）";
    }
    std::string operator()(const ProxyError::Unsupported& e) const {
        const std::string http = "http://127.0.0.1:" + std::to_string(e.httpPort);
        const std::string socks = "socks5://127.0.0.1:" + std::to_string(e.socksPort);
        const std::string desktop = e.desktop.empty() ? std::string("?") : e.desktop;
        if (language == AppLanguage::chinese) {
            return "无法设置此桌面（" + desktop + "）的系统代理；请让应用使用 " + http + " 或 " +
                   socks;
        }
        return "this desktop (" + desktop +
               ") has no proxy settings Nimbra can write; point applications at " + http + " or " +
               socks;
    }
};

}  // namespace

ProxyError::ProxyError(Reason reason)
    : LocalizedError(std::visit(Describe{AppLanguage::english}, reason)),
      reason_(std::move(reason)) {}

std::string ProxyError::description(AppLanguage language) const {
    return std::visit(Describe{language}, reason_);
}

}  // namespace nimbra
