// bench_dns_forwarder: nimbrad's DNS forwarder alone in a process, so that the benchmark can
// load it and read its memory like any other server's.
//
//   bench_dns_forwarder --upstream 127.0.0.1:<port>
//
// Listens on a free port of 127.0.0.1, prints "listening port=<P>" and runs until SIGTERM/SIGINT.

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "nimbrad/dns_forwarder.hpp"

int main(int argc, char** argv) {
    using nimbra::nimbrad::DnsForwarder;
    using nimbra::nimbrad::DnsUpstream;
    if (argc != 3 || std::strcmp(argv[1], "--upstream") != 0 || !DnsUpstream::parse(argv[2])) {
        std::fprintf(stderr, "usage: bench_dns_forwarder --upstream IP[:PORT]\n");
        return 2;
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // before the forwarder's thread starts

    try {
        DnsForwarder::Options options;
        options.listenPort = 0;
        options.upstream = *DnsUpstream::parse(argv[2]);
        DnsForwarder forwarder(options);
        forwarder.start();
        std::printf("listening port=%u\n", static_cast<unsigned>(forwarder.port()));
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        forwarder.stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_dns_forwarder: %s\n", error.what());
        return 1;
    }
    return 0;
}
