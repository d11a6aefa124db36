#include "configuration.hpp"

#include "loopback.hpp"

namespace nimbra::bench {
namespace {

using Chain = std::vector<ChildProcess>;
using StartUpstream = ChildProcess (Launcher::*)(int);
using StartFront = ChildProcess (Launcher::*)(int, int);

// A SOCKS5 server on a port of its own, then an HTTP proxy in front of it.
auto httpOver(StartFront front, StartUpstream upstream) {
    return [front, upstream](Launcher& launcher, int frontPort) {
        const int socksPort = freeLoopbackPort();
        ChildProcess socks = (launcher.*upstream)(socksPort);
        Chain chain;
        chain.push_back((launcher.*front)(frontPort, socksPort));
        chain.push_back(std::move(socks));
        return chain;
    };
}

auto alone(StartUpstream server) {
    return [server](Launcher& launcher, int port) {
        Chain chain;
        chain.push_back((launcher.*server)(port));
        return chain;
    };
}

}  // namespace

std::optional<Kind> peersOf(Kind kind) {
    switch (kind) {
        case Kind::socksPeer:
        case Kind::socksOurs:
            return Kind::socksPeer;
        case Kind::httpPeer:
        case Kind::httpOurs:
            return Kind::httpPeer;
        case Kind::baseline:
            break;
    }
    return std::nullopt;
}

std::vector<Configuration> configurations() {
    constexpr auto ours = "bench_proxy_server";
    return {
        {"direct", Kind::baseline, Protocol::direct, {}, [](Launcher&, int) { return Chain{}; }},
        {"microsocks",
         Kind::socksPeer,
         Protocol::socks5,
         {"microsocks"},
         alone(&Launcher::microsocks)},
        {"danted", Kind::socksPeer, Protocol::socks5, {"danted"}, alone(&Launcher::danted)},
        {"privoxy->microsocks",
         Kind::httpPeer,
         Protocol::http,
         {"privoxy", "microsocks"},
         httpOver(&Launcher::privoxy, &Launcher::microsocks)},
        {"tinyproxy->microsocks",
         Kind::httpPeer,
         Protocol::http,
         {"tinyproxy", "microsocks"},
         httpOver(&Launcher::tinyproxy, &Launcher::microsocks)},
        {"gateway", Kind::socksOurs, Protocol::socks5, {ours}, alone(&Launcher::gateway)},
        {"relay->microsocks",
         Kind::httpOurs,
         Protocol::http,
         {ours, "microsocks"},
         httpOver(&Launcher::relay, &Launcher::microsocks)},
        {"relay->gateway",
         Kind::httpOurs,
         Protocol::http,
         {ours},
         httpOver(&Launcher::relay, &Launcher::gateway)},
    };
}

}  // namespace nimbra::bench
