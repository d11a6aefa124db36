#include "nativetun_command.hpp"

#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "far_end.hpp"
#include "log.hpp"
#include "tun_device.hpp"
#include "tunnel_simulation.hpp"

namespace nimbra::standin {
namespace {

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
    if (options.farEndSocket.empty()) {
        logLine("Error: USQUE_STANDIN_FAR_END names no server for the tunnel's far end");
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
        io, fetchFarEnd(options.farEndSocket, carried.ipv4, carried.ipv6).release());
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
