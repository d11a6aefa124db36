#include "socks5_server.hpp"

#include <cctype>
#include <memory>

#include "socks5_session.hpp"

namespace nimbra::standin {
namespace {

// Go prints the C library's message starting in lower case: "address already in use".
std::string failure(const char* step, const std::error_code& error) {
    std::string message = error.message();
    if (!message.empty()) message[0] = static_cast<char>(std::tolower(message[0]));
    return std::string(step) + ": " + message;
}

}  // namespace

Socks5Server::Socks5Server(asio::io_context& io, const HostMap& hosts)
    : acceptor_(io), hosts_(hosts) {}

std::optional<std::string> Socks5Server::listen(const asio::ip::tcp::endpoint& endpoint) {
    std::error_code error;
    acceptor_.open(endpoint.protocol(), error);
    if (error) return failure("socket", error);
    // Go sets SO_REUSEADDR on listeners too: a port in TIME_WAIT can be reused, a live one not.
    acceptor_.set_option(asio::socket_base::reuse_address(true), error);
    acceptor_.bind(endpoint, error);
    if (error) return failure("bind", error);
    acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) return failure("listen", error);
    accept();
    return std::nullopt;
}

void Socks5Server::close() {
    std::error_code ignored;
    acceptor_.close(ignored);
}

void Socks5Server::accept() {
    acceptor_.async_accept([this](std::error_code error, asio::ip::tcp::socket client) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
        if (!error) std::make_shared<Socks5Session>(std::move(client), hosts_)->start();
        accept();
    });
}

}  // namespace nimbra::standin
