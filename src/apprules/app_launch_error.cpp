#include "apprules/app_launch_error.hpp"

namespace nimbra::apprules {
namespace {

std::string_view lead(AppLaunchError::Kind kind, AppLanguage language) {
    using Kind = AppLaunchError::Kind;
    switch (kind) {
        case Kind::notFound:
            return "应用不存在: ";
        case Kind::unlaunchable:
            return pick(language, "This application cannot be started: ", "无法启动此应用: ");
        case Kind::confined:
            return pick(language, "A Snap browser cannot use the isolated profile: ",
                        "Snap 沙盒中的浏览器无法使用独立配置: ");
        case Kind::noTerminal:
            return pick(language, "No terminal emulator found to run: ", "找不到终端程序来运行: ");
        case Kind::profileRefused:
            return pick(language, "The isolated profile folder is not private, refused: ",
                        "独立配置目录不安全，已拒绝使用: ");
        case Kind::startFailed:
            return pick(language, "The program could not be executed: ", "无法执行应用程序: ");
    }
    return {};
}

std::string describe(AppLaunchError::Kind kind, const std::string& subject, AppLanguage language) {
    return std::string(lead(kind, language)) + subject;
}

}  // namespace

AppLaunchError::AppLaunchError(Kind kind, std::string subject)
    : LocalizedError(describe(kind, subject, AppLanguage::english)),
      kind_(kind),
      subject_(std::move(subject)) {}

std::string AppLaunchError::description(AppLanguage language) const {
    return describe(kind_, subject_, language);
}

}  // namespace nimbra::apprules
