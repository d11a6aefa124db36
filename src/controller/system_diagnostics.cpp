#include "controller/diagnostics_service.hpp"
#include "diagnostics/exit_probe.hpp"
#include "diagnostics/gateway_latency.hpp"

namespace nimbra {
namespace {

class SystemDiagnostics : public DiagnosticsService {
public:
    TraceProbe exitViaSocks(int port) override { return ExitProbe::fetchViaCurlSocks(port); }
    TraceProbe exitDirect() override { return ExitProbe::fetchDirect(); }
    ConflictReport scanConflicts() override { return NetworkConflictDetector::scan(); }
    asio::awaitable<std::map<std::string, int>> gatewayLatencies(asio::thread_pool& pool,
                                                                 int timeoutMs) override {
        return ExitProbe::probeAllGateways(pool, timeoutMs);
    }
};

}  // namespace

std::shared_ptr<DiagnosticsService> DiagnosticsService::system() {
    return std::make_shared<SystemDiagnostics>();
}

}  // namespace nimbra
