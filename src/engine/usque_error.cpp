#include "engine/usque_error.hpp"

#include "base/text.hpp"
#include "system/platform_profile.hpp"

namespace nimbra {
namespace {

constexpr size_t kRegisterOutputShown = 280;

// The first `count` characters (code points, not bytes) of UTF-8 text.
std::string firstCharacters(const std::string& text, size_t count) {
    size_t end = 0;
    for (size_t seen = 0; end < text.size() && seen < count; ++seen) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    }
    return text.substr(0, end);
}

struct Describe {
    std::string operator()(const UsqueError::LaunchFailed& e) const {
        return "无法启动 usque：" + e.message;
    }
    std::string operator()(const UsqueError::ExitedEarly& e) const {
        if (UsqueError::isBindFailureHint(e.hint)) {
            return "端口 " + std::to_string(e.storedSocksPort) + " 已被占用";
        }
        return "usque 提前退出：" + e.hint;
    }
    std::string operator()(const UsqueError::MasqueTimeout& e) const {
        return "WARP 隧道未建立：" + e.hint;
    }
    std::string operator()(const UsqueError::SocksNotReady& e) const {
        return "SOCKS :" + std::to_string(e.port) + " 未就绪";
    }
    std::string operator()(const UsqueError::PortInUse& e) const {
        return "端口 " + std::to_string(e.port) + " 已被占用";
    }
    std::string operator()(const UsqueError::RegisterFailed& e) const {
        return "usque register 失败 (" + std::to_string(e.status) + ")：" +
               firstCharacters(e.output, kRegisterOutputShown);
    }
    std::string operator()(const UsqueError::BinaryMissing&) const {
        return "找不到 usque。请安装到 ~/.local/bin/usque，或运行 " +
               PlatformProfile::current().usqueFetchScript;
    }
    std::string operator()(const UsqueError::NativeTunUnsupported&) const {
        return "usque nativetun 在 macOS 上不可用（仅 Linux/Windows）";
    }
};

}  // namespace

UsqueError::UsqueError(Case c) : LocalizedError(std::visit(Describe{}, c)), case_(std::move(c)) {}

std::string UsqueError::description(AppLanguage) const {
    return std::visit(Describe{}, case_);
}

bool UsqueError::isBindFailureHint(const std::string& hint) {
    return text::containsCaseInsensitive(hint, "address already in use") ||
           text::containsCaseInsensitive(hint, "failed to start socks") ||
           text::containsCaseInsensitive(hint, "bind:");
}

}  // namespace nimbra
