#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <memory>
#include <string>

#include "server_options.hpp"

namespace nimbra::trace_server {

// One accepted connection: TLS handshake, one request, one response, close. Keeps itself alive
// through the handlers it has pending, so the listener just starts it and forgets it.
class TlsSession : public std::enable_shared_from_this<TlsSession> {
public:
    TlsSession(asio::ip::tcp::socket socket, asio::ssl::context& tls, const ServerOptions& options);

    void start();

private:
    void onHandshake(const std::error_code& error);
    void onRequestHead(const std::error_code& error, std::size_t headLength);
    void answer(int status, std::string_view body, bool withBody, std::string_view what);
    void onSent(const std::error_code& error);
    void armDeadline(std::chrono::steady_clock::duration timeout);
    void close();

    asio::ssl::stream<asio::ip::tcp::socket> stream_;
    const ServerOptions& options_;
    asio::steady_timer deadline_;  // bounds the whole exchange, so a silent client cannot linger
    std::string peer_;
    std::string inbound_;
    std::string outbound_;
};

}  // namespace nimbra::trace_server
