#include "tls_listener.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include "log.hpp"
#include "tls_session.hpp"

namespace nimbra::trace_server {

namespace {

using namespace std::chrono_literals;

asio::ip::tcp::acceptor listenOn(asio::io_context& io, const std::string& address, int port) {
    std::error_code error;
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address, error),
                                           static_cast<unsigned short>(port));
    if (error) throw std::runtime_error("--bind: not an IP address: " + address);
    asio::ip::tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        throw std::runtime_error("cannot listen on TCP " + address + " port " +
                                 std::to_string(port) + ": " + error.message());
    }
    return acceptor;
}

}  // namespace

TlsListener::TlsListener(asio::io_context& io, asio::ssl::context& tls,
                         const ServerOptions& options)
    : acceptor_(listenOn(io, options.bindAddress, options.port)),
      tls_(tls),
      options_(options),
      retry_(io) {
    acceptNext();
}

int TlsListener::port() const {
    return acceptor_.local_endpoint().port();
}

void TlsListener::acceptNext() {
    acceptor_.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
        if (error == asio::error::operation_aborted) return;
        if (error) {
            logLine("accept failed: " + error.message());
            retry_.expires_after(50ms);
            retry_.async_wait([this](const std::error_code& waitError) {
                if (!waitError) acceptNext();
            });
            return;
        }

        std::make_shared<TlsSession>(std::move(socket), tls_, options_)->start();
        acceptNext();
    });
}

}  // namespace nimbra::trace_server
