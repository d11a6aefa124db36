#pragma once

#include <sys/types.h>

#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nimbrad/control_request.hpp"

namespace nimbra::nimbrad {

// The daemon's control socket: a Unix stream socket that every local user may connect to, with
// one request line and one reply line per connection.
//
// - Each connection is served by a coroutine of its own, so a client that is slow to send (or
//   sends nothing) holds up nobody else. It gets `requestTimeout` to deliver its line and at most
//   `maxRequestBytes`; past either it is closed without a reply.
// - The peer's uid comes from the kernel (SO_PEERCRED), not from anything the client says. Root
//   and `allowedUids` may send every command; anyone else only "ping" and "status" and gets
//   "not authorised" for the rest.
// - Every argument is checked before the handler sees the request; a refused one is answered with
//   the reason and the handler is not called.
// - The handler runs on one strand, so two commands never run at the same time even when the
//   io_context has several threads: a "start" is never interleaved with a "stop".
class ControlServer {
public:
    // Returns the reply as one line of JSON, without the line feed.
    using Handler = std::function<std::string(const Request&)>;

    struct Options {
        std::chrono::milliseconds requestTimeout{5000};
        std::size_t maxRequestBytes = 64 * 1024;
        // Connections beyond this many at once are closed at once, so a flood of idle clients
        // cannot pile up coroutines and descriptors.
        std::size_t maxConnections = 128;
        // The strand the handler runs on; one of its own when not given. The daemon passes the
        // strand its tunnel events run on, so that commands and events take turns.
        std::optional<asio::strand<asio::io_context::executor_type>> commands;
    };

    // Binds and listens at `socketPath` (mode 0666) and starts accepting on `io`. A stale socket
    // at that path is replaced; anything else there is left alone and the bind fails. Throws
    // std::system_error when the socket cannot be set up (for instance, a missing parent folder).
    ControlServer(asio::io_context& io, std::string socketPath, std::vector<uid_t> allowedUids,
                  Handler handler, Options options);
    ControlServer(asio::io_context& io, std::string socketPath, std::vector<uid_t> allowedUids,
                  Handler handler);
    // Stops listening and removes the socket file; connections already accepted finish.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& socketPath() const { return socketPath_; }

private:
    struct Shared;

    std::string socketPath_;
    std::shared_ptr<Shared> shared_;
};

// Why `request` is refused before it reaches the handler, or nothing when it may go ahead:
// unknown commands, commands the peer may not send, and arguments that do not pass the checks.
std::optional<std::string> refuseRequest(const Request& request, uid_t peerUid,
                                         const std::vector<uid_t>& allowedUids);

}  // namespace nimbra::nimbrad
