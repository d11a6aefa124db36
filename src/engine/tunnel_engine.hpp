#pragma once

namespace nimbra {

// What the controller needs from the process that carries the tunnel. The engine is shared with
// blocking tasks on the pool, so implementations are thread-safe.
class TunnelEngine {
public:
    virtual ~TunnelEngine() = default;

    virtual int socksPort() const = 0;
    // The engine's child runs (or an adopted listener is being supervised).
    virtual bool isRunning() const = 0;
    // Stops the engine and its supervision; safe when nothing runs and when called concurrently.
    virtual void stop() = 0;
};

}  // namespace nimbra
