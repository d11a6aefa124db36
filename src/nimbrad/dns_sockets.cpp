#include "nimbrad/dns_sockets.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

namespace nimbra::nimbrad {

asio::awaitable<std::pair<asio::error_code, asio::ip::tcp::socket>> acceptCloseOnExec(
    asio::ip::tcp::acceptor& acceptor) {
    using asio::ip::tcp;
    for (;;) {
        auto [error] = co_await acceptor.async_wait(
            tcp::acceptor::wait_read, asio::experimental::as_tuple(asio::use_awaitable));
        if (error) co_return std::pair{error, tcp::socket(acceptor.get_executor())};
        const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Gone again before it was accepted, or taken by a spurious wake-up: wait on.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
                continue;
            co_return std::pair{asio::error_code(errno, asio::error::get_system_category()),
                                tcp::socket(acceptor.get_executor())};
        }
        tcp::socket socket(acceptor.get_executor());
        socket.assign(acceptor.local_endpoint().protocol(), fd, error);
        if (error) ::close(fd);
        co_return std::pair{error, std::move(socket)};
    }
}

}  // namespace nimbra::nimbrad
