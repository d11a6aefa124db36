// proxy_applier auto|full <http port> <socks port>
//
// Applies the system proxy through the product's own SystemProxy for this desktop (chosen from
// the environment like Nimbra does), prints "applied" and waits forever. Exits 1 with the error
// when the apply fails.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "proxy/system_proxy/system_proxy.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: proxy_applier auto|full <http port> <socks port>\n");
        return 2;
    }
    const std::string_view how = argv[1];
    const int httpPort = std::atoi(argv[2]);
    const int socksPort = std::atoi(argv[3]);
    auto proxy = nimbra::SystemProxy::forThisDesktop({"127.0.0.1", httpPort, socksPort});
    try {
        if (how == "auto") {
            proxy->enableAutoSplit("127.0.0.1", httpPort);
        } else {
            proxy->enableClashXProxies("127.0.0.1", httpPort, socksPort,
                                       nimbra::standardBypassDomains());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "apply failed: %s\n", error.what());
        return 1;
    }
    std::printf("applied\n");
    std::fflush(stdout);
    for (;;) ::pause();
}
