#include "daemon/daemon_error.hpp"

#include "model/app_language.hpp"
#include "system/platform_profile.hpp"

namespace nimbra {
namespace {

struct Describe {
    AppLanguage language;

    std::string prefixed(std::string_view english, std::string_view chinese,
                         const std::string& payload) const {
        return std::string(pick(language, english, chinese)) + payload;
    }
    std::string operator()(const DaemonError::ConnectFailed& e) const {
        return prefixed("Cannot reach nimbrad: ", "无法连接 nimbrad：", e.message);
    }
    std::string operator()(const DaemonError::CommandFailed& e) const {
        return prefixed("nimbrad command failed: ", "nimbrad 命令失败：", e.message);
    }
    std::string operator()(const DaemonError::NotReady& e) const {
        return prefixed("Real TUN not ready: ", "真全局 TUN 未就绪：", e.message);
    }
    std::string operator()(const DaemonError::InstallFailed& e) const {
        return prefixed("Failed to install nimbrad: ", "安装 nimbrad 失败：", e.message);
    }
    std::string operator()(const DaemonError::BinaryNotFound&) const {
        const auto& hint = PlatformProfile::current().nimbradHint;
        return language == AppLanguage::chinese ? hint.chinese : hint.english;
    }
    std::string operator()(const DaemonError::InstallCanceled&) const {
        return std::string(pick(language,
                                "Admin authorization canceled — real TUN needs nimbrad daemon",
                                "已取消管理员授权 — 真全局需安装 nimbrad 守护进程"));
    }
};

struct Payload {
    const std::string& operator()(const DaemonError::ConnectFailed& e) const { return e.message; }
    const std::string& operator()(const DaemonError::CommandFailed& e) const { return e.message; }
    const std::string& operator()(const DaemonError::NotReady& e) const { return e.message; }
    const std::string& operator()(const DaemonError::InstallFailed& e) const { return e.message; }
    const std::string& operator()(const auto&) const {
        static const std::string none;
        return none;
    }
};

}  // namespace

DaemonError::DaemonError(Case c)
    : LocalizedError(std::visit(Describe{AppLanguage::english}, c)), case_(std::move(c)) {}

const std::string& DaemonError::message() const {
    return std::visit(Payload{}, case_);
}

std::string DaemonError::description(AppLanguage language) const {
    return std::visit(Describe{language}, case_);
}

}  // namespace nimbra
