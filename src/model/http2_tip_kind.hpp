#pragma once

#include <string_view>

#include "model/app_language.hpp"

namespace nimbra {

// The advice line about the HTTP/2 transport shown under the connect button.
enum class Http2TipKind { autoEnabled, connectFailed };

constexpr std::string_view tipText(Http2TipKind kind, AppLanguage language) {
    if (kind == Http2TipKind::autoEnabled) {
        return pick(language,
                    "Enabled HTTP/2 automatically (common when corporate WARP blocks QUIC)",
                    "已自动开启 HTTP/2（公司 WARP / QUIC 不通时常见）");
    }
    return pick(language,
                "Connect failed: enable HTTP/2 TCP fallback and retry, or use Local SOCKS.",
                "连接失败：建议打开 HTTP/2 TCP fallback 后重试；或改用仅本地 SOCKS。");
}

}  // namespace nimbra
