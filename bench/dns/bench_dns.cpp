// bench_dns: nimbrad's DNS forwarder against dnsmasq as a forwarder, both in front of the same
// dns-standin upstream on loopback and both without a cache, so that every query makes the full
// trip. Each run keeps one query outstanding per client socket until `queries` are answered.
// The servers take turns for `rounds` rounds, the one that goes first alternating, and each is
// reported by its median round (queries/s and latency percentiles) beside its resident memory
// while idle: on a shared machine a single run says more about the neighbours than the servers.
// The goals are printed, not asserted.
//
//   bench_dns [--clients N] [--queries M] [--rounds R] [--dnsmasq PATH]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "support/dns_standin/dns_standin_process.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using nimbra::Subprocess;
using nimbra::UniqueFd;

struct Result {
    std::string name;
    double rate = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    long lost = 0;
    long idleRssKiB = 0;
};

std::vector<std::uint8_t> query(std::uint16_t id) {
    // bench.example.test, type A, class IN, RD set.
    static const std::uint8_t kTemplate[] = {
        0, 0,   1,   0,   0,   1,   0,   0,   0, 0,   0,   0,   5,   'b', 'e', 'n', 'c', 'h',
        7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 4, 't', 'e', 's', 't', 0,   0,   1,   0,   1};
    std::vector<std::uint8_t> q(std::begin(kTemplate), std::end(kTemplate));
    q[0] = static_cast<std::uint8_t>(id >> 8);
    q[1] = static_cast<std::uint8_t>(id);
    return q;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

long rssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// A port free for UDP and TCP on loopback right now, for dnsmasq, which wants one named.
std::uint16_t freePort() {
    for (;;) {
        UniqueFd udp(::socket(AF_INET, SOCK_DGRAM, 0));
        auto address = loopback(0);
        socklen_t size = sizeof address;
        ::bind(udp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(udp.get(), reinterpret_cast<sockaddr*>(&address), &size);
        UniqueFd tcp(::socket(AF_INET, SOCK_STREAM, 0));
        if (::bind(tcp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return ntohs(address.sin_port);
    }
}

// Whether something at `port` answers a query within a second.
bool answers(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    const auto to = loopback(port);
    const auto q = query(1);
    ::sendto(fd.get(), q.data(), q.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    pollfd pfd{fd.get(), POLLIN, 0};
    return ::poll(&pfd, 1, 1000) == 1;
}

bool waitUntilAnswering(std::uint16_t port) {
    for (int i = 0; i < 50; ++i) {
        if (answers(port)) return true;
        ::usleep(100'000);
    }
    return false;
}

// `clients` sockets, each with one query outstanding, until `total` answers have come back.
// A query unanswered for a second counts as lost and is sent again.
Result load(const std::string& name, std::uint16_t port, int clients, long total) {
    struct Client {
        UniqueFd fd;
        std::uint16_t id = 0;
        Clock::time_point sent;
    };
    std::vector<Client> sockets(static_cast<std::size_t>(clients));
    std::vector<pollfd> polls;
    const auto to = loopback(port);
    auto send = [&](Client& client) {
        client.id = static_cast<std::uint16_t>(client.id + 1);
        const auto q = query(client.id);
        client.sent = Clock::now();
        ::sendto(client.fd.get(), q.data(), q.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    };
    for (auto& client : sockets) {
        client.fd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
        polls.push_back({client.fd.get(), POLLIN, 0});
    }

    Result result{name};
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(total));
    const auto start = Clock::now();
    for (auto& client : sockets) send(client);
    std::uint8_t buffer[4096];
    while (static_cast<long>(latencies.size()) < total) {
        if (::poll(polls.data(), polls.size(), 1000) == 0) {
            for (auto& client : sockets) {
                if (Clock::now() - client.sent > 1s) ++result.lost, send(client);
            }
            continue;
        }
        for (std::size_t i = 0; i < polls.size(); ++i) {
            if ((polls[i].revents & POLLIN) == 0) continue;
            Client& client = sockets[i];
            for (;;) {
                const ssize_t got = ::recv(client.fd.get(), buffer, sizeof buffer, 0);
                if (got < 0) break;
                if (got < 2 || (buffer[0] << 8 | buffer[1]) != client.id) continue;  // a late one
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - client.sent).count());
                send(client);
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    result.rate = static_cast<double>(latencies.size()) / seconds;
    result.p50Ms = latencies[latencies.size() / 2];
    result.p99Ms = latencies[latencies.size() * 99 / 100];
    return result;
}

struct Server {
    Subprocess process;
    std::uint16_t port = 0;
};

void stopServer(Server& server) {
    server.process.signal(SIGTERM);
    if (!server.process.wait(3s)) server.process.kill();
}

std::string readLine(int fd) {
    std::string line;
    char c = 0;
    pollfd pfd{fd, POLLIN, 0};
    while (::poll(&pfd, 1, 5000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    int clients = 16;
    long queries = 50000;
    int rounds = 5;
    std::string dnsmasq = "/usr/sbin/dnsmasq";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--clients")
            clients = std::stoi(argv[i + 1]);
        else if (arg == "--queries")
            queries = std::stol(argv[i + 1]);
        else if (arg == "--rounds")
            rounds = std::max(1, std::stoi(argv[i + 1]));
        else if (arg == "--dnsmasq")
            dnsmasq = argv[i + 1];
    }

    nimbra::testing::DnsStandinProcess upstream({.address = "192.0.2.1"});
    const std::string upstreamText = "127.0.0.1:" + std::to_string(upstream.port());

    Subprocess::Options ours;
    ours.argv = {NIMBRA_DNS_FORWARDER_PROGRAM, "--upstream", upstreamText};
    Server forwarder{Subprocess::start(std::move(ours))};
    const UniqueFd forwarderOut(forwarder.process.releaseStdout());
    unsigned port = 0;
    if (std::sscanf(readLine(forwarderOut.get()).c_str(), "listening port=%u", &port) != 1) {
        std::fprintf(stderr, "bench_dns: the forwarder did not start\n");
        return 1;
    }
    forwarder.port = static_cast<std::uint16_t>(port);

    const std::uint16_t dnsmasqPort = freePort();
    Subprocess::Options peer;
    peer.argv = {dnsmasq,
                 "--no-resolv",
                 "--server=127.0.0.1#" + std::to_string(upstream.port()),
                 "--port=" + std::to_string(dnsmasqPort),
                 "--listen-address=127.0.0.1",
                 "--bind-interfaces",
                 "--no-daemon",
                 "--no-hosts",
                 "--cache-size=0",
                 "--pid-file="};
    peer.output = Subprocess::Output::discard;
    Server reference{Subprocess::start(std::move(peer)), dnsmasqPort};

    if (!waitUntilAnswering(forwarder.port) || !waitUntilAnswering(reference.port)) {
        std::fprintf(stderr, "bench_dns: a server does not answer\n");
        stopServer(forwarder);
        stopServer(reference);
        return 1;
    }

    Server* servers[] = {&forwarder, &reference};
    const char* names[] = {"nimbrad forwarder", "dnsmasq"};
    std::vector<Result> runs[2];
    long idle[2] = {rssKiB(forwarder.process.pid()), rssKiB(reference.process.pid())};
    for (int server = 0; server < 2; ++server) {
        load("warm-up", servers[server]->port, clients, std::min(queries / 10, 2000L));
    }
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int server = (round + turn) % 2;
            runs[server].push_back(load(names[server], servers[server]->port, clients, queries));
        }
    }
    std::vector<Result> results;
    for (int server = 0; server < 2; ++server) {
        auto& all = runs[server];
        std::sort(all.begin(), all.end(),
                  [](const Result& a, const Result& b) { return a.rate < b.rate; });
        Result median = all[all.size() / 2];
        median.idleRssKiB = idle[server];
        results.push_back(median);
    }
    stopServer(forwarder);
    stopServer(reference);

    std::printf(
        "DNS forwarding over UDP: %d client sockets, %ld queries, median of %d alternating rounds, "
        "upstream dns-standin\n",
        clients, queries, rounds);
    for (int server = 0; server < 2; ++server) {
        std::printf("  %-18s rounds q/s (sorted):", names[server]);
        for (const auto& run : runs[server]) std::printf(" %.0f", run.rate);
        std::printf("\n");
    }
    std::printf("\n");
    std::printf("%-20s %12s %9s %9s %6s %14s\n", "server", "queries/s", "p50 ms", "p99 ms", "lost",
                "idle RSS KiB");
    for (const auto& r : results) {
        std::printf("%-20s %12.0f %9.3f %9.3f %6ld %14ld\n", r.name.c_str(), r.rate, r.p50Ms,
                    r.p99Ms, r.lost, r.idleRssKiB);
    }
    const Result& a = results[0];
    const Result& b = results[1];
    std::printf("\ngoal: rate >= dnsmasq's        %s (%.2fx)\n",
                a.rate >= b.rate ? "met" : "MISSED", a.rate / b.rate);
    std::printf("goal: p99 <= 1.5x dnsmasq's    %s (%.2fx)\n",
                a.p99Ms <= 1.5 * b.p99Ms ? "met" : "MISSED", a.p99Ms / b.p99Ms);
    return 0;
}
