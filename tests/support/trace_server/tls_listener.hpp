#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

#include "server_options.hpp"

namespace nimbra::trace_server {

// Listens on 127.0.0.1:<options.port> and hands every connection to a TlsSession. Binds in the
// constructor (throws std::runtime_error when it cannot) and starts accepting right away.
class TlsListener {
public:
    TlsListener(asio::io_context& io, asio::ssl::context& tls, const ServerOptions& options);

    int port() const;

private:
    void acceptNext();

    asio::ip::tcp::acceptor acceptor_;
    asio::ssl::context& tls_;
    const ServerOptions& options_;
    asio::steady_timer retry_;  // paces accepting again after an error such as EMFILE
};

}  // namespace nimbra::trace_server
