#pragma once

#include <string_view>

#include "model/app_language.hpp"

namespace nimbra {

// Other networking software that fights our tunnel, in the order the banner lists them.
enum class ConflictHint {
    disconnectOfficialWarp,
    officialWarpInstalled,
    tailscaleDNS,
    tailscaleRunning
};

constexpr std::string_view hintText(ConflictHint hint, AppLanguage language) {
    switch (hint) {
        case ConflictHint::disconnectOfficialWarp:
            return pick(language, "Disconnect official WARP first", "请先断开官方 WARP");
        case ConflictHint::officialWarpInstalled:
            return pick(language, "Official WARP installed · try HTTP/2 on failure",
                        "已安装官方 WARP · 失败时可试 HTTP/2");
        case ConflictHint::tailscaleDNS:
            return pick(
                language,
                "Tailscale DNS · TUN excludes 100.64/10 (ClashX-style; WARP usually fights TS)",
                "Tailscale DNS · TUN 已排除 100.64/10（学 ClashX；官方 WARP 常冲突）");
        case ConflictHint::tailscaleRunning:
            break;
    }
    return pick(language, "Tailscale OK with TUN · like ClashX; official WARP often conflicts",
                "Tailscale 可与 TUN 共存（学 ClashX）；官方 WARP 往往做不到");
}

}  // namespace nimbra
