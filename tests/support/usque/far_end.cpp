#include "far_end.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "tun_device.hpp"

namespace nimbra::standin {
namespace {

constexpr const char* kInterface = "warp0";
// A request ("<ipv4> <ipv6 or ->\n") or an error text is no longer than this.
constexpr std::size_t kMaxMessage = 512;

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("no usable socket path: \"" + path + "\"");
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return address;
}

std::string receiveText(int fd) {
    std::string text;
    char buffer[kMaxMessage];
    for (ssize_t n; text.size() < kMaxMessage && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos) break;
    }
    return text.substr(0, text.find('\n'));
}

UniqueFd makeFarEnd(const std::string& request) {
    std::istringstream words(request);
    std::string ipv4, ipv6;
    if (!(words >> ipv4 >> ipv6)) throw std::runtime_error("bad request: " + request);
    UniqueFd tun = openTun(kInterface);
    ip({"link", "set", kInterface, "mtu", "1280", "up"});
    ip({"route", "add", ipv4 + "/32", "dev", kInterface});
    if (ipv6 != "-") ip({"-6", "route", "add", ipv6 + "/128", "dev", kInterface});
    return tun;
}

// The far end's answer: one byte, with room for one descriptor passed beside it.
struct DescriptorMessage {
    DescriptorMessage() {
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;

    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
};

void serve(int client) {
    const std::string request = receiveText(client);
    UniqueFd tun;
    std::string failure;
    try {
        tun = makeFarEnd(request);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!tun.valid()) {
        const std::string reply = "e" + failure + "\n";
        [[maybe_unused]] const auto sent = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        return;
    }
    DescriptorMessage ok;
    ok.byte = 'k';
    cmsghdr* header = CMSG_FIRSTHDR(&ok.message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    const int descriptor = tun.get();
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof descriptor);
    [[maybe_unused]] const auto sent = ::sendmsg(client, &ok.message, MSG_NOSIGNAL);
    // Our copy closes here: from now on the interface lives exactly as long as nativetun's.
}

}  // namespace

int runFarEnd(const std::string& socketPath) {
    // Ends with the test that started it, however that ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(socketPath);
    ::unlink(socketPath.c_str());
    if (!listener.valid() ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 8) != 0)
        throw systemError("listen on " + socketPath);
    std::printf("listening on %s\n", socketPath.c_str());
    std::fflush(stdout);
    for (;;) {
        const UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.valid()) serve(client.get());
    }
}

UniqueFd fetchFarEnd(const std::string& socketPath, const std::string& ipv4,
                     const std::string& ipv6) {
    const UniqueFd server(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(socketPath);
    if (!server.valid() ||
        ::connect(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw systemError("connect to the far end at " + socketPath);
    const std::string request = ipv4 + " " + (ipv6.empty() ? "-" : ipv6) + "\n";
    if (::send(server.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        throw systemError("ask the far end");
    DescriptorMessage answer;
    if (::recvmsg(server.get(), &answer.message, MSG_CMSG_CLOEXEC) != 1)
        throw systemError("no answer from the far end");
    const cmsghdr* header = CMSG_FIRSTHDR(&answer.message);
    if (answer.byte != 'k' || header == nullptr || header->cmsg_type != SCM_RIGHTS)
        throw std::runtime_error("the far end failed: " + receiveText(server.get()));
    int descriptor = -1;
    std::memcpy(&descriptor, CMSG_DATA(header), sizeof descriptor);
    return UniqueFd(descriptor);
}

}  // namespace nimbra::standin
