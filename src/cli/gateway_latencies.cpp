#include <asio/co_spawn.hpp>

#include "base/async/core_runtime.hpp"
#include "cli/commands.hpp"
#include "diagnostics/gateway_latency.hpp"

namespace nimbra::cli {
namespace {

constexpr int kGatewayProbeTimeoutMs = 3500;

}  // namespace

// Every gateway at once; a probe that fails as a whole leaves every gateway unmeasured.
std::map<std::string, int> measureGatewayLatencies() {
    CoreRuntime runtime;
    std::map<std::string, int> latencies;
    asio::co_spawn(runtime.executor(),
                   ExitProbe::probeAllGateways(runtime.blockingPool(), kGatewayProbeTimeoutMs),
                   [&](std::exception_ptr, std::map<std::string, int> result) {
                       latencies = std::move(result);
                       runtime.stop();
                   });
    runtime.run();
    return latencies;
}

}  // namespace nimbra::cli
