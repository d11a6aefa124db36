#include "tun_device.hpp"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "base/subprocess.hpp"
#include "base/text.hpp"

namespace nimbra::standin {

UniqueFd openTun(const std::string& name) {
    UniqueFd fd(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid())
        throw std::runtime_error(std::string("open /dev/net/tun: ") + std::strerror(errno));
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (name.size() >= IFNAMSIZ) throw std::runtime_error("interface name too long: " + name);
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (::ioctl(fd.get(), TUNSETIFF, &request) != 0)
        throw std::runtime_error("create TUN " + name + ": " + std::strerror(errno));
    return fd;
}

void ip(std::vector<std::string> args) {
    args.insert(args.begin(), "ip");
    Subprocess::Options command;
    command.argv = args;
    const auto result = Subprocess::run(std::move(command), std::chrono::seconds(10));
    if (!result.status.succeeded()) {
        std::string line;
        for (const auto& arg : args) line += arg + " ";
        throw std::runtime_error(line + "failed: " + std::string(text::trim(result.err)));
    }
}

}  // namespace nimbra::standin
