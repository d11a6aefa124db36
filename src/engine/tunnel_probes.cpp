#include "engine/tunnel_probes.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "base/deployment.hpp"
#include "base/paths.hpp"
#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"

namespace nimbra::tunnel_probes {

bool socksAccepts(int port) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return false;
    const timeval limit{2, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool traceShowsWarpOn(const std::string& body) {
    std::string ip, warp;
    for (const auto& line : text::splitLines(body)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const auto key = line.substr(0, equals);
        if (key == "ip") ip = line.substr(equals + 1);
        if (key == "warp") warp = line.substr(equals + 1);
    }
    return !ip.empty() && text::toLowerAscii(warp) == "on";
}

bool warpOnThroughSocks(int port) {
    Subprocess::Options curl;
    curl.argv = {"/usr/bin/curl",
                 "-sS",
                 "-m",
                 "8",
                 "--connect-timeout",
                 "5",
                 "-x",
                 "socks5h://127.0.0.1:" + std::to_string(port),
                 "https://" + deployment::traceHost() + "/cdn-cgi/trace"};
    curl.environment = std::vector<std::string>{"PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                                "HOME=" + paths::homeDirectory().string()};
    try {
        // curl stops itself after 8 s; the extra margin only guards against a wedged child.
        auto result = Subprocess::run(std::move(curl), std::chrono::seconds(12));
        if (result.timedOut || result.status.code != 0) return false;
        return traceShowsWarpOn(result.out);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace nimbra::tunnel_probes
