#include "tls_session.hpp"

#include <asio/read_until.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>

#include "http_message.hpp"
#include "log.hpp"

namespace nimbra::trace_server {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kTracePath = "/cdn-cgi/trace";
// Time for handshake, request and response.
constexpr auto kExchangeTimeout = 10s;
// Time the client gets to answer our close_notify before the socket is simply closed.
constexpr auto kShutdownTimeout = 2s;

std::string describe(const asio::ip::tcp::socket& socket) {
    std::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    if (error) return "unknown peer";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

TlsSession::TlsSession(asio::ip::tcp::socket socket, asio::ssl::context& tls,
                       const ServerOptions& options)
    : stream_(std::move(socket), tls),
      options_(options),
      deadline_(stream_.get_executor()),
      peer_(describe(stream_.next_layer())) {}

void TlsSession::start() {
    armDeadline(kExchangeTimeout);
    stream_.async_handshake(
        asio::ssl::stream_base::server,
        [self = shared_from_this()](const std::error_code& error) { self->onHandshake(error); });
}

void TlsSession::onHandshake(const std::error_code& error) {
    if (error) {
        logLine(peer_ + " TLS handshake failed: " + error.message());
        close();
        return;
    }
    asio::async_read_until(
        stream_, asio::dynamic_buffer(inbound_, kMaxRequestHead), "\r\n\r\n",
        [self = shared_from_this()](const std::error_code& readError, std::size_t length) {
            self->onRequestHead(readError, length);
        });
}

void TlsSession::onRequestHead(const std::error_code& error, std::size_t headLength) {
    if (error == asio::error::not_found) {
        answer(431, "request head too large\n", true, "oversized request head");
        return;
    }
    if (error) {
        logLine(peer_ + " closed before a whole request arrived: " + error.message());
        close();
        return;
    }

    const auto request = parseRequestHead(std::string_view(inbound_).substr(0, headLength));
    if (!request) {
        answer(400, "bad request\n", true, "malformed request");
        return;
    }

    const std::string what = request->method + " " + request->target;
    const bool head = request->method == "HEAD";
    if (request->path() != kTracePath) {
        answer(404, "not found\n", !head, what);
    } else if (request->method != "GET" && !head) {
        answer(405, "method not allowed\n", true, what);
    } else {
        answer(options_.status, options_.body, !head, what);
    }
}

void TlsSession::answer(int status, std::string_view body, bool withBody, std::string_view what) {
    outbound_ = buildResponse(status, body, withBody);
    logLine(peer_ + " " + std::string(what) + " -> " + std::to_string(status) + " (" +
            std::to_string(body.size()) + " body bytes)");
    asio::async_write(stream_, asio::buffer(outbound_),
                      [self = shared_from_this()](const std::error_code& error, std::size_t) {
                          self->onSent(error);
                      });
}

void TlsSession::onSent(const std::error_code& error) {
    if (error) {
        logLine(peer_ + " left before the response was written: " + error.message());
        close();
        return;
    }
    // A polite close: our close_notify, then the client's, bounded in time because some clients
    // just drop the connection once they have the whole body.
    armDeadline(kShutdownTimeout);
    stream_.async_shutdown([self = shared_from_this()](const std::error_code&) { self->close(); });
}

void TlsSession::armDeadline(std::chrono::steady_clock::duration timeout) {
    deadline_.expires_after(timeout);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (error) return;  // re-armed or cancelled
        self->close();
    });
}

void TlsSession::close() {
    std::error_code ignored;
    deadline_.cancel();
    stream_.next_layer().close(ignored);
}

}  // namespace nimbra::trace_server
