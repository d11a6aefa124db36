#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <asio/awaitable.hpp>
#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <cerrno>
#include <utility>

namespace nimbra::nimbrad {

// Sockets for the forwarder, close-on-exec from the instant they exist. Asio opens and accepts
// without the flag, and the daemon starts children (usque) from other threads at any moment: a
// socket marked a moment after it was made can still slip into one of them, which then holds
// port 53 after the daemon has let go of it.

// Opens `socket` (a UDP or TCP socket, or an acceptor) for `protocol`.
template <typename Socket>
void openCloseOnExec(Socket& socket, const typename Socket::protocol_type& protocol,
                     asio::error_code& error) {
    const int fd = ::socket(protocol.family(), protocol.type() | SOCK_CLOEXEC, protocol.protocol());
    if (fd < 0) {
        error = asio::error_code(errno, asio::error::get_system_category());
        return;
    }
    socket.assign(protocol, fd, error);
    if (error) ::close(fd);
}

// Waits for the next connection on `acceptor` (which must be non-blocking) and accepts it.
asio::awaitable<std::pair<asio::error_code, asio::ip::tcp::socket>> acceptCloseOnExec(
    asio::ip::tcp::acceptor& acceptor);

}  // namespace nimbra::nimbrad
