#pragma once

#include <filesystem>

namespace nimbra {

// What the controller needs from the process that carries the tunnel. The engine is shared with
// blocking tasks on the pool, so implementations are thread-safe; every operation but
// socksPort() and isRunning() may block for seconds.
class TunnelEngine {
public:
    virtual ~TunnelEngine() = default;

    virtual int socksPort() const = 0;
    // The tunnel is up: our child runs and announced readiness, or an adopted listener lives.
    virtual bool isRunning() const = 0;
    // Where the engine's executable is; throws when it cannot be found.
    virtual std::filesystem::path resolveBinary() const = 0;
    // Makes sure the executable and a device registration exist; throws otherwise.
    virtual void ensureReady() = 0;
    // Brings the SOCKS listener up (launching or adopting); returns once the tunnel is ready.
    virtual void startSocks(bool http2) = 0;
    // Stops what this engine launched or adopted.
    virtual void stopProcessOnly() = 0;
    // Stops the engine and any other usque on its port; safe when nothing runs and when called
    // concurrently.
    virtual void stop() = 0;
};

}  // namespace nimbra
