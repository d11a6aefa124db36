#include "presentation/overview_panel.hpp"

#include "observe/traffic_formatting.hpp"

namespace nimbra::presentation {

OverviewFigures overviewFigures(const ControllerSnapshot& snapshot) {
    OverviewFigures figures;
    figures.warpStatus = "warp=" + snapshot.exitWarp;
    if (snapshot.exitWarp == "on") figures.warpStatus += " (Connected)";
    figures.protocol =
        snapshot.runningHttp2.value_or(snapshot.http2) ? "MASQUE (HTTP/2)" : "MASQUE (QUIC)";
    figures.connectedTime = snapshot.traffic.isMonitoring
                                ? traffic::formatUptime(snapshot.traffic.uptimeSeconds)
                                : "00:00";
    figures.showsTunInterface =
        snapshot.runningMode.value_or(snapshot.connectionMode) == ConnectionMode::realTun;
    figures.exitIsIpv6 = snapshot.exitIp.find(':') != std::string::npos;
    return figures;
}

}  // namespace nimbra::presentation
