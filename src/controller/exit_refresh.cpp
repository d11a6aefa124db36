// Refreshing the exit display: one probe at a time, through the tunnel when it is up, else
// directly; a result that arrives after a new connect has begun is dropped.

#include "base/async/await_blocking.hpp"
#include "controller/warp_controller.hpp"

namespace nimbra {
namespace {

std::string refreshDetail(const TraceProbe& probe, bool viaTunnel, AppLanguage language) {
    const bool chinese = language == AppLanguage::chinese;
    if (probe.fetched) {
        const std::string where = probe.loc + "/" + probe.colo + " · WARP " + probe.warp;
        if (!viaTunnel) return (chinese ? "系统出口 · " : "System exit · ") + where;
        if (!probe.warp.empty() && text::toLowerAscii(probe.warp) != "on") {
            return (chinese ? "隧道异常（可能泄漏）· loc="
                            : "Tunnel anomaly (possible leak) · loc=") +
                   probe.loc + " colo=" + probe.colo + " warp=" + probe.warp;
        }
        return (chinese ? "已连接 · " : "Connected · ") + where;
    }
    if (viaTunnel) {
        return chinese ? "已连接但出口探测失败 — 隧道可能异常"
                       : "Connected but exit probe failed — tunnel may be unhealthy";
    }
    const std::string error = probe.error.value_or(chinese ? "网络错误" : "network error");
    return (chinese ? "出口探测失败：" : "Exit probe failed: ") + error;
}

}  // namespace

bool WarpController::connectUnderWay() const {
    return connecting_ || state_.phase == WarpPhase::preparing ||
           state_.phase == WarpPhase::startingEngine;
}

void WarpController::refreshExit() {
    if (state_.exitProbing || connectUnderWay()) return;
    update([](ControllerSnapshot& s) { s.exitProbing = true; });

    const bool realTun = state_.connectionMode == ConnectionMode::realTun;
    const bool tunnelUp = realTun ? tunStarted_ : engine_->isRunning();
    const bool viaTunnel = isConnected() && tunnelUp;
    const bool throughSocks = viaTunnel && !realTun;  // real TUN carries the direct probe itself
    spawnTask(runtime_.executor(), runExitRefresh(viaTunnel, throughSocks));
}

asio::awaitable<void> WarpController::runExitRefresh(bool viaTunnel, bool throughSocks) {
    auto probeExit = [diagnostics = diagnostics_, throughSocks, port = socksPort_] {
        return throughSocks ? diagnostics->exitViaSocks(port) : diagnostics->exitDirect();
    };
    const TraceProbe probe = co_await awaitBlocking(runtime_.blockingPool(), probeExit);
    if (connectUnderWay()) {
        update([](ControllerSnapshot& s) { s.exitProbing = false; });
        co_return;
    }
    applyProbe(probe, viaTunnel);
    const std::string detail = refreshDetail(probe, viaTunnel, language());
    update([&](ControllerSnapshot& s) {
        s.detail = detail;
        s.exitProbing = false;
    });
}

}  // namespace nimbra
