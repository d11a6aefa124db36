#include "tls_listener.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include "log.hpp"
#include "tls_session.hpp"

namespace nimbra::trace_server {

namespace {

using namespace std::chrono_literals;

asio::ip::tcp::acceptor listenOnLoopback(asio::io_context& io, int port) {
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(),
                                           static_cast<unsigned short>(port));
    asio::ip::tcp::acceptor acceptor(io);
    std::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        throw std::runtime_error("cannot listen on TCP 127.0.0.1:" + std::to_string(port) + ": " +
                                 error.message());
    }
    return acceptor;
}

}  // namespace

TlsListener::TlsListener(asio::io_context& io, asio::ssl::context& tls,
                         const ServerOptions& options)
    : acceptor_(listenOnLoopback(io, options.port)), tls_(tls), options_(options), retry_(io) {
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
