#include "proxy/local_socks_gateway.hpp"

#include <system_error>

#include "base/log.hpp"
#include "proxy/dial.hpp"
#include "proxy/gateway_error.hpp"
#include "proxy/host_port.hpp"
#include "proxy/stream_io.hpp"
#include "system/process_control.hpp"

namespace nimbra {
namespace {

using asio::ip::tcp;

asio::awaitable<void> refuse(tcp::socket& client, socks5::ReplyCode code) {
    auto reply = socks5::reply(code);
    co_await stream_io::replyAndClose(client, asio::buffer(reply));
}

}  // namespace

LocalSocksGateway::LocalSocksGateway(AppPreferences preferences, ProcessTable& processes,
                                     Timings timings, PumpMethod pumpMethod)
    : preferences_(preferences),
      processes_(processes),
      timings_(timings),
      pumpMethod_(pumpMethod),
      listener_("socks-gateway", [this](tcp::socket& client) { return serve(client); }) {}

void LocalSocksGateway::start(int port) {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (listener_.listening()) return;
    if (!hostport::isUsablePort(port))
        throw GatewayError({"bad port " + std::to_string(port)}, preferences_.socksPort());
    freePortFromStaleEngine(port);
    // Set before listening: the first client may ask for the gateway itself at once.
    std::uint16_t previousPort = exchangeListenPort(static_cast<std::uint16_t>(port));
    try {
        listener_.listen(static_cast<std::uint16_t>(port));
    } catch (const std::system_error& e) {
        exchangeListenPort(previousPort);
        throw GatewayError({e.code().message()}, preferences_.socksPort());
    }
}

void LocalSocksGateway::stop() {
    std::lock_guard lifecycle(lifecycleMutex_);
    listener_.close();
}

bool LocalSocksGateway::isRunning() const {
    return listener_.listening();
}

std::uint16_t LocalSocksGateway::listenPort() const {
    std::lock_guard lock(stateMutex_);
    return listenPort_;
}

std::uint16_t LocalSocksGateway::exchangeListenPort(std::uint16_t port) {
    std::lock_guard lock(stateMutex_);
    return std::exchange(listenPort_, port);
}

void LocalSocksGateway::freePortFromStaleEngine(int port) {
    bool terminated = false;
    for (pid_t pid : processes_.listenerPids(port)) {
        if (!process_control::commandLineMentionsUsque(processes_.processArgs(pid))) continue;
        logLine("socks-gateway",
                "ending stale usque " + std::to_string(pid) + " on port " + std::to_string(port));
        process_control::terminatePid(pid, timings_.pidPoll);
        terminated = true;
    }
    if (terminated)
        process_control::waitUntilPortFree(processes_, port, timings_.portFreeWait,
                                           timings_.pidPoll);
}

asio::awaitable<void> LocalSocksGateway::serve(tcp::socket& client) {
    auto greeting = co_await stream_io::recvMessage(client, socks5::parseGreeting);
    if (!greeting) co_return;
    auto selection = socks5::methodSelection();
    co_await stream_io::sendRaw(client, asio::buffer(selection));

    auto parseRequest = [](socks5::ByteView received) {
        return socks5::parseRequest(received).step;
    };
    auto message = co_await stream_io::recvMessage(client, parseRequest);
    if (!message) co_return;
    socks5::Request request = socks5::parseRequest(*message).request;
    if (auto refusal = socks5::refusalFor(request, listenPort())) {
        co_await refuse(client, *refusal);
        co_return;
    }
    co_await connectAndPipe(client, *request.dest);
}

asio::awaitable<void> LocalSocksGateway::connectAndPipe(tcp::socket& client,
                                                        const socks5::Dest& dest) {
    auto attempt = dial(dest.host, dest.port, AddressFamilies::ipv4Only);
    auto upstream = co_await within(timings_.gatewayDialWait, std::move(attempt));
    if (!upstream) {
        co_await refuse(client, socks5::ReplyCode::connectionRefused);
        co_return;
    }
    auto success = socks5::reply(socks5::ReplyCode::succeeded);
    co_await stream_io::sendRaw(client, asio::buffer(success));
    relayBothWays(std::move(client), std::move(*upstream), pumpMethod_);
}

}  // namespace nimbra
