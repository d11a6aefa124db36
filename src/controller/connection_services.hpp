#pragma once

#include <functional>
#include <memory>
#include <string>

#include "controller/daemon_service.hpp"
#include "controller/diagnostics_service.hpp"
#include "engine/tunnel_engine.hpp"
#include "proxy/http_socks_relay.hpp"
#include "proxy/local_socks_gateway.hpp"
#include "proxy/system_proxy/system_proxy.hpp"

namespace nimbra {

// The pieces a connection is made of. Blocking work on the pools holds them by shared pointer,
// so a call still running there never outlives what it touches; each is thread-safe on its own.
struct ConnectionServices {
    std::shared_ptr<TunnelEngine> engine;
    std::shared_ptr<HttpSocksRelay> relay;
    std::shared_ptr<LocalSocksGateway> socksGateway;
    std::shared_ptr<SystemProxy> systemProxy;
    std::shared_ptr<DiagnosticsService> diagnostics;
    // nimbrad, which carries the real TUN mode.
    std::shared_ptr<DaemonService> daemon;
    // Points usque's registration file at the exit gateway with this prefix ("none": directly).
    // Blocking; never throws.
    std::function<void(const std::string& prefix)> pointRegistrationAt;
};

}  // namespace nimbra
