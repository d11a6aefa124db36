#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <map>
#include <string>

#include "diagnostics/trace_probe.hpp"
#include "observe/network_conflict_detector.hpp"

namespace nimbra {

// The looks at the outside world that the controller asks for: exit traces, gateway latencies
// and the conflict scan. The product's own runs curl, sockets and system tools; tests script
// the answers. The blocking calls run on the controller's pool, never on the core thread.
class DiagnosticsService {
public:
    virtual ~DiagnosticsService() = default;

    virtual TraceProbe exitViaSocks(int port) = 0;  // blocking
    virtual TraceProbe exitDirect() = 0;            // blocking
    virtual ConflictReport scanConflicts() = 0;     // blocking
    virtual asio::awaitable<std::map<std::string, int>> gatewayLatencies(asio::thread_pool& pool,
                                                                         int timeoutMs) = 0;

    static std::shared_ptr<DiagnosticsService> system();
};

}  // namespace nimbra
