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

#include "nimbrad/connection_quota.hpp"
#include "nimbrad/control_request.hpp"

namespace nimbra::nimbrad {

// The daemon's control socket: a Unix stream socket that every local user may connect to, with
// one request line and one reply line per connection.
//
// - The peer's uid comes from the kernel (SO_PEERCRED) when the connection is accepted, not from
//   anything the client says. Root and `allowedUids` (trusted peers) may send every command;
//   anyone else (a stranger) only "ping" and "status", gets "not authorised" for the rest, and
//   is told by the handler only what it may know (Request::fromTrustedPeer).
// - Each connection is served by a coroutine of its own, so a client that is slow to send (or
//   sends nothing) holds up nobody else. It gets `requestTimeout` (a stranger only
//   `strangerRequestTimeout`) to deliver its line and at most `maxRequestBytes` (a stranger
//   `strangerMaxRequestBytes`); past either it is closed without a reply.
// - Open connections are counted per uid (ConnectionQuota): one past a uid's quota, or past the
//   strangers' share, is closed at once, so no local user can hold the socket for everyone.
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
        // Short: a stranger that reopens idle connections then holds each of them only briefly.
        std::chrono::milliseconds strangerRequestTimeout{1000};
        // Room for the largest "app_routes" the argument check accepts, as a client writes it:
        // 512 entries of "direct:" and a 1024-byte path whose every fourth byte may be the
        // backslash of an \xNN escape, doubled in JSON (about 645 KiB). 512 entries of the usual
        // 120 bytes already fill 61 KiB: 64 KiB would leave no room for longer names.
        std::size_t maxRequestBytes = 1024 * 1024;
        // Strangers may only ask "ping" and "status": they keep the small limit, so the many
        // connections they share cannot make the daemon hold much.
        std::size_t strangerMaxRequestBytes = 64 * 1024;
        ConnectionQuota::Limits connections;
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

// Root and the allowed uids: those who may send every command and are told everything.
bool isTrustedPeer(uid_t peerUid, const std::vector<uid_t>& allowedUids);

// Why `request` is refused before it reaches the handler, or nothing when it may go ahead:
// unknown commands, commands the peer may not send, and arguments that do not pass the checks.
std::optional<std::string> refuseRequest(const Request& request, uid_t peerUid,
                                         const std::vector<uid_t>& allowedUids);

}  // namespace nimbra::nimbrad
