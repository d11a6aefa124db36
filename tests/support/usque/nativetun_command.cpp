#include "nativetun_command.hpp"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "base/unique_fd.hpp"
#include "log.hpp"
#include "tunnel_simulation.hpp"

namespace nimbra::standin {
namespace {

using namespace std::chrono_literals;

constexpr const char* kProviderInterface = "warp0";

struct TunnelAddresses {
    std::string ipv4;
    std::string ipv6;  // empty: the tunnel carries no IPv6
};

std::optional<TunnelAddresses> readAddresses(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    const auto config = nlohmann::json::parse(file, nullptr, false);
    if (config.is_discarded() || !config.is_object()) return std::nullopt;
    TunnelAddresses addresses;
    addresses.ipv4 = config.value("ipv4", "");
    addresses.ipv6 = config.value("ipv6", "");
    if (addresses.ipv4.empty()) throw std::runtime_error("the config has no \"ipv4\" address");
    return addresses;
}

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// The interface lives as long as the descriptor: closing it (or dying) removes it.
UniqueFd openTun(const std::string& name) {
    UniqueFd fd(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) throw systemError("open /dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (name.size() >= IFNAMSIZ) throw std::runtime_error("interface name too long: " + name);
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (::ioctl(fd.get(), TUNSETIFF, &request) != 0) throw systemError("create TUN " + name);
    return fd;
}

void ip(std::vector<std::string> args) {
    args.insert(args.begin(), "ip");
    Subprocess::Options command;
    command.argv = args;
    const auto result = Subprocess::run(std::move(command), 10s);
    if (!result.status.succeeded()) {
        std::string command;
        for (const auto& arg : args) command += arg + " ";
        throw std::runtime_error(command + "failed: " + std::string(text::trim(result.err)));
    }
}

UniqueFd openClientTun(const StandinOptions& options, const TunnelAddresses& addresses) {
    UniqueFd fd = openTun(options.interfaceName);
    const std::string& name = options.interfaceName;
    ip({"address", "add", addresses.ipv4 + "/32", "dev", name});
    if (!addresses.ipv6.empty()) {
        ip({"-6", "address", "add", addresses.ipv6 + "/128", "dev", name, "nodad"});
    }
    ip({"link", "set", name, "mtu", "1280", "up"});
    return fd;
}

// Opens the provider's end on a thread that has moved into the provider's namespace: the TUN
// (and the `ip` processes the thread starts) belong to that namespace, the rest of us do not move.
UniqueFd openProviderTun(const std::string& netnsPath, const TunnelAddresses& addresses) {
    UniqueFd netns(::open(netnsPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!netns.valid()) throw systemError("open " + netnsPath);
    UniqueFd fd;
    std::exception_ptr failure;
    std::thread([&] {
        try {
            if (::setns(netns.get(), CLONE_NEWNET) != 0) throw systemError("setns " + netnsPath);
            fd = openTun(kProviderInterface);
            ip({"link", "set", kProviderInterface, "mtu", "1280", "up"});
            ip({"route", "add", addresses.ipv4 + "/32", "dev", kProviderInterface});
            if (!addresses.ipv6.empty()) {
                ip({"-6", "route", "add", addresses.ipv6 + "/128", "dev", kProviderInterface});
            }
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) std::rethrow_exception(failure);
    return fd;
}

// Copies every packet that comes out of one TUN into the other while the tunnel is connected;
// before that, and while it reconnects, packets are dropped as a real tunnel would lose them.
class PacketPump {
public:
    PacketPump(asio::posix::stream_descriptor& from, asio::posix::stream_descriptor& to,
               const TunnelSimulation& tunnel)
        : from_(from), to_(to), tunnel_(tunnel) {}

    void start() {
        from_.async_wait(asio::posix::descriptor_base::wait_read, [this](std::error_code error) {
            if (error) return;
            drain();
            start();
        });
    }

private:
    void drain() {
        for (;;) {
            const ssize_t size = ::read(from_.native_handle(), packet_.data(), packet_.size());
            if (size <= 0) return;  // EAGAIN: all read
            // A full queue or a downed interface loses the packet, as a network would.
            if (tunnel_.isConnected()) {
                [[maybe_unused]] const ssize_t written =
                    ::write(to_.native_handle(), packet_.data(), static_cast<std::size_t>(size));
            }
        }
    }

    asio::posix::stream_descriptor& from_;
    asio::posix::stream_descriptor& to_;
    const TunnelSimulation& tunnel_;
    std::array<char, 65536> packet_{};
};

}  // namespace

int runNativeTun(const StandinOptions& options) {
    asio::io_context io;
    asio::signal_set signals(io, SIGTERM, SIGINT);
    const auto addresses = readAddresses(options.configPath);
    if (!addresses) {
        logLine("Config not loaded. Please register first.");
        return 0;
    }
    if (::geteuid() != 0) {
        logLine("Error: nativetun creates a TUN interface and must run as root");
        return 1;
    }
    if (options.providerNetns.empty()) {
        logLine("Error: USQUE_STANDIN_PROVIDER_NETNS names no namespace for the far end");
        return 1;
    }
    TunnelAddresses carried = *addresses;
    if (options.noIpv6) carried.ipv6.clear();

    for (const auto& line : options.preLines) logLine(line);
    if (options.exitEarlyLine) {
        logLine(*options.exitEarlyLine);
        return options.exitCode;
    }
    if (options.quicExitEarlyLine && !options.http2) {
        logLine(*options.quicExitEarlyLine);
        return options.exitCode;
    }

    asio::posix::stream_descriptor client(io, openClientTun(options, carried).release());
    asio::posix::stream_descriptor provider(
        io, openProviderTun(options.providerNetns, carried).release());
    signals.async_wait([&](std::error_code, int) { io.stop(); });

    TunnelSimulation tunnel(io, options);
    PacketPump outbound(client, provider, tunnel);
    PacketPump inbound(provider, client, tunnel);
    tunnel.start();
    outbound.start();
    inbound.start();
    io.run();
    // The descriptors close on the way out, and both interfaces go with them.
    return 0;
}

}  // namespace nimbra::standin
