#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

// Name lookups for the local proxies. Each lookup runs on its own c-ares channel, driven by the
// awaiting coroutine's executor, so lookups run side by side and one slow name server holds up
// only the clients that asked it. A fresh channel also reads /etc/resolv.conf anew, which keeps
// lookups right after the system's name servers change (as they do when a tunnel comes up).
namespace nimbra {

enum class AddressFamilies { any, ipv4Only };

class NameResolver {
public:
    struct Options {
        // Name servers asked instead of those in /etc/resolv.conf; empty for the system's own.
        std::vector<asio::ip::udp::endpoint> servers;
    };

    NameResolver() = default;
    explicit NameResolver(Options options) : options_(std::move(options)) {}

    // The addresses `host` stands for, best first. /etc/hosts is read before any name server is
    // asked; an address literal is returned as it stands without a lookup. Empty when the name
    // does not resolve, when `deadline` passes first, or when the awaiting coroutine is
    // cancelled: the query is then abandoned and its sockets closed before this returns.
    // Runs on a single-threaded executor (or a strand), like the rest of the proxies.
    asio::awaitable<std::vector<asio::ip::address>> lookup(
        std::string host, AddressFamilies families,
        std::chrono::steady_clock::time_point deadline =
            std::chrono::steady_clock::time_point::max()) const;

private:
    Options options_;
};

}  // namespace nimbra
