// Runs one of our proxies on 127.0.0.1 until SIGTERM or SIGINT, for bench_proxy to measure.
//
//   bench_proxy_server relay <httpPort> <socksPort>   HTTP proxy tunnelling through the SOCKS5
//                                                     server on 127.0.0.1:socksPort
//   bench_proxy_server gateway <port>                 SOCKS5 server dialling destinations itself
//
// Prints "ready" once listening.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

#include "loopback.hpp"
#include "model/split_tunnel_mode.hpp"
#include "proxy/http_socks_relay.hpp"
#include "proxy/local_socks_gateway.hpp"

namespace {

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

template <typename Proxy>
void serveUntilStopped(Proxy& proxy) {
    std::printf("ready\n");
    std::fflush(stdout);
    const sigset_t signals = stopSignals();
    int received = 0;
    sigwait(&signals, &received);
    proxy.stop();
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_proxy_server relay <httpPort> <socksPort> | gateway <port>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before the proxy starts its threads, which inherit the mask: only sigwait sees them.
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    nimbra::bench::raiseOpenFileLimit();

    const std::string_view mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "relay" && argc == 4) {
            nimbra::HttpSocksRelay relay;
            relay.start(std::atoi(argv[2]), "127.0.0.1", std::atoi(argv[3]),
                        nimbra::SplitTunnelMode::full, {});
            serveUntilStopped(relay);
            return 0;
        }
        if (mode == "gateway" && argc == 3) {
            nimbra::LocalSocksGateway gateway;
            gateway.start(std::atoi(argv[2]));
            serveUntilStopped(gateway);
            return 0;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_proxy_server: %s\n", error.what());
        return 1;
    }
    return usage();
}
