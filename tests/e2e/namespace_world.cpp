#include "namespace_world.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "base/text.hpp"
#include "base/unique_fd.hpp"
#include "support/dns_packets.hpp"
#include "support/line_reader.hpp"
#include "support/trace_server_process.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Ns = NamespaceWorld::Ns;

constexpr auto kCommandTimeout = 60s;

std::string joined(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& arg : argv) line += (line.empty() ? "" : " ") + arg;
    return line;
}

Subprocess::RunResult runHere(std::vector<std::string> argv) {
    Subprocess::Options options;
    options.argv = std::move(argv);
    return Subprocess::run(std::move(options), kCommandTimeout);
}

void mustRun(std::vector<std::string> argv) {
    const auto result = runHere(argv);
    if (!result.status.succeeded()) {
        throw std::runtime_error(joined(argv) + ": " + std::string(text::trim(result.err)));
    }
}

// Namespaces of an earlier run that died before its clean-up (its pid is gone).
void removeLeftovers() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/run/netns", error)) {
        const std::string name = entry.path().filename();
        int pid = 0;
        if (std::sscanf(name.c_str(), "nimbra-%d-", &pid) != 1 || pid <= 0) continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH) {
            runHere({"ip", "netns", "delete", name});
            fs::remove_all(fs::path("/etc/netns") / name, error);
        }
    }
}

}  // namespace

std::string NamespaceWorld::unavailable() {
    if (::geteuid() != 0) return "network namespaces need root";
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) return "no /dev/net/tun";
    try {
        if (!runHere({"ip", "-V"}).status.succeeded()) return "`ip` does not run";
    } catch (const std::exception& error) {
        return std::string("no `ip` program: ") + error.what();
    }
    return "";
}

NamespaceWorld::NamespaceWorld() : prefix_("nimbra-" + std::to_string(::getpid()) + "-") {
    removeLeftovers();
    try {
        build();
        startServers(Ns::router, "off", kRouterDnsAnswer);
        startServers(Ns::provider, "on", kProviderDnsAnswer);
        keepListening(Ns::provider,
                      start(Ns::provider, {std::string(NIMBRA_STANDIN_DIR) + "/usque", "far-end",
                                           "--socket", farEndSocket()}),
                      "the tunnel's far end");
    } catch (...) {
        tearDown();
        throw;
    }
}

NamespaceWorld::~NamespaceWorld() {
    tearDown();
}

void NamespaceWorld::tearDown() noexcept {
    servers_.clear();  // each one SIGKILLs its own process group and reaps it
    for (Ns ns : {Ns::client, Ns::router, Ns::provider}) {
        try {
            if (fs::exists(path(ns))) runHere({"ip", "netns", "delete", name(ns)});
        } catch (const std::exception&) {
            // Nothing better to do in a destructor; removeLeftovers() catches it next time.
        }
        std::error_code error;
        fs::remove_all(fs::path("/etc/netns") / name(ns), error);
    }
}

std::string NamespaceWorld::name(Ns ns) const {
    static constexpr const char* kNames[] = {"client", "router", "provider"};
    return prefix_ + kNames[static_cast<int>(ns)];
}

std::string NamespaceWorld::path(Ns ns) const {
    return "/run/netns/" + name(ns);
}

std::string NamespaceWorld::farEndSocket() const {
    return (sockets_ / "far-end.sock").string();
}

std::vector<std::string> NamespaceWorld::inside(Ns ns, std::vector<std::string> argv) const {
    argv.insert(argv.begin(), {"ip", "netns", "exec", name(ns)});
    return argv;
}

Subprocess::RunResult NamespaceWorld::run(Ns ns, std::vector<std::string> argv) const {
    return runHere(inside(ns, std::move(argv)));
}

std::string NamespaceWorld::output(Ns ns, std::vector<std::string> argv) const {
    const auto result = run(ns, argv);
    if (!result.status.succeeded()) {
        throw std::runtime_error(joined(argv) + " in " + name(ns) + ": " +
                                 std::string(text::trim(result.err)));
    }
    return result.out;
}

Subprocess NamespaceWorld::start(Ns ns, std::vector<std::string> argv,
                                 const std::vector<std::string>& environment,
                                 Subprocess::Output output) const {
    Subprocess::Options options;
    options.argv = inside(ns, std::move(argv));
    options.output = output;
    if (!environment.empty()) {
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
        env.insert(env.end(), environment.begin(), environment.end());
        options.environment = std::move(env);
    }
    return Subprocess::start(std::move(options));
}

void NamespaceWorld::build() {
    for (Ns ns : {Ns::client, Ns::router, Ns::provider}) {
        mustRun({"ip", "netns", "add", name(ns)});
        mustRun({"ip", "-n", name(ns), "link", "set", "lo", "up"});
        // The client filters loosely, as desktop distributions do; the others take what comes.
        const std::string rpFilter = ns == Ns::client ? "2" : "0";
        mustRun(inside(ns, {"sysctl", "-qw", "net.ipv4.conf.all.rp_filter=" + rpFilter,
                            "net.ipv4.conf.default.rp_filter=" + rpFilter}));
    }
    const std::string client = name(Ns::client);
    const std::string router = name(Ns::router);
    const std::string provider = name(Ns::provider);

    // The LAN: created inside the namespaces, never in the host's.
    mustRun({"ip", "-n", client, "link", "add", "lan0", "type", "veth", "peer", "name", "lan0",
             "netns", router});
    for (const auto& [ns, last] : {std::pair{client, "2"}, std::pair{router, "1"}}) {
        mustRun({"ip", "-n", ns, "address", "add", std::string("192.168.77.") + last + "/24", "dev",
                 "lan0"});
        mustRun({"ip", "-n", ns, "-6", "address", "add", std::string("fd77::") + last + "/64",
                 "dev", "lan0", "nodad"});
        mustRun({"ip", "-n", ns, "link", "set", "lan0", "up"});
    }
    mustRun({"ip", "-n", client, "route", "add", "default", "via", kRouterAddress});
    mustRun({"ip", "-n", client, "-6", "route", "add", "default", "via", "fd77::1"});

    // The far ends: the same addresses on both sides of the tunnel.
    for (const auto& ns : {router, provider}) {
        for (const char* address : {kTraceHost, kResolver}) {
            mustRun({"ip", "-n", ns, "address", "add", std::string(address) + "/32", "dev", "lo"});
        }
        mustRun({"ip", "-n", ns, "-6", "address", "add", std::string(kTraceHost6) + "/128", "dev",
                 "lo"});
    }
    mustRun(
        {"ip", "-n", router, "address", "add", std::string(kMasqueEndpoint) + "/32", "dev", "lo"});

    // The kernel adds the links' own IPv6 addresses and routes a moment after carrier; a test
    // comparing route tables must not see them arrive.
    for (int attempt = 0; attempt < 200; ++attempt) {
        const bool tentative =
            !output(Ns::client, {"ip", "-6", "address", "show", "tentative"}).empty() ||
            !output(Ns::router, {"ip", "-6", "address", "show", "tentative"}).empty();
        const bool linkLocal =
            output(Ns::client, {"ip", "-6", "route", "show", "table", "all"}).find("fe80::/64") !=
            std::string::npos;
        if (!tentative && linkLocal) return;
        std::this_thread::sleep_for(50ms);
    }
    throw std::runtime_error("the LAN's IPv6 link-local addresses did not settle");
}

void NamespaceWorld::keepListening(Ns ns, Subprocess process, const std::string& what) {
    testing::LineReader out(process.releaseStdout());
    if (!out.waitFor("listening", 30s)) {
        process.kill();
        process.wait();
        throw std::runtime_error(what + " did not start in " + name(ns) + ": " +
                                 process.takeStderr());
    }
    servers_.push_back(std::move(process));
}

void NamespaceWorld::startServers(Ns ns, const std::string& warp, const std::string& dnsAnswer) {
    const std::string body = "fl=1\nh=www.cloudflare.com\nip=" + std::string(kClientAddress) +
                             "\ncolo=SJC\nloc=US\nwarp=" + warp + "\n";
    for (const char* address : {kTraceHost, kTraceHost6}) {
        keepListening(ns,
                      start(ns, {testing::TraceServerProcess::programPath(), "--bind", address,
                                 "--port", "443", "--body", body, "--exit-with-parent"}),
                      std::string("trace-server on ") + address);
    }
    keepListening(ns,
                  start(ns, {std::string(NIMBRA_STANDIN_DIR) + "/dns-standin", "--bind", kResolver,
                             "--port", "53", "--address", dnsAnswer, "--exit-with-parent"}),
                  "dns-standin");
}

void NamespaceWorld::addResolver(Ns ns, const std::string& address, const std::string& answer) {
    mustRun({"ip", "-n", name(ns), "address", "add", address + "/32", "dev", "lo"});
    keepListening(ns,
                  start(ns, {std::string(NIMBRA_STANDIN_DIR) + "/dns-standin", "--bind", address,
                             "--port", "53", "--address", answer, "--exit-with-parent"}),
                  "dns-standin on " + address);
}

void NamespaceWorld::writeHosts(Ns ns, const std::string& lines) const {
    const fs::path folder = fs::path("/etc/netns") / name(ns);
    fs::create_directories(folder);
    std::ofstream hosts(folder / "hosts", std::ios::trunc);
    hosts << lines;
    hosts.close();
    if (!hosts) throw std::runtime_error("cannot write " + (folder / "hosts").string());
}

std::string NamespaceWorld::warp(bool ipv6) const {
    return warpOf(run(Ns::client, traceCommand(ipv6)));
}

std::vector<std::string> NamespaceWorld::traceCommand(bool ipv6) {
    const std::string address = ipv6 ? "[" + std::string(kTraceHost6) + "]" : kTraceHost;
    return {"curl",
            "-q",
            "-sS",
            "--noproxy",
            "*",
            "--max-time",
            "10",
            "--cacert",
            testing::TraceServerProcess::caFile(),
            "--resolve",
            std::string(kTraceName) + ":443:" + address,
            std::string("https://") + kTraceName + "/cdn-cgi/trace"};
}

std::string NamespaceWorld::warpOf(const Subprocess::RunResult& result) {
    const auto at = result.out.find("\nwarp=");
    if (!result.status.succeeded() || at == std::string::npos) {
        return "no trace: " + std::string(text::trim(result.err));
    }
    const auto value = result.out.substr(at + 6);
    return value.substr(0, value.find('\n'));
}

}  // namespace nimbra::e2e

namespace nimbra::e2e {

void NamespaceWorld::inside(Ns ns, const std::function<void()>& body) const {
    std::exception_ptr failure;
    std::thread([&] {
        try {
            const UniqueFd netns(::open(path(ns).c_str(), O_RDONLY | O_CLOEXEC));
            if (!netns.valid() || ::setns(netns.get(), CLONE_NEWNET) != 0) {
                throw std::runtime_error("cannot enter " + path(ns));
            }
            body();
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) std::rethrow_exception(failure);
}

std::string NamespaceWorld::lookup(const std::string& resolver) const {
    constexpr std::uint16_t kId = 0x4e42;
    const testing::DnsBytes query = testing::dnsQuery(kId, "example.com");
    std::string answer = "no answer";
    inside(Ns::client, [&] {
        const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(53);
        if (::inet_pton(AF_INET, resolver.c_str(), &server.sin_addr) != 1) {
            throw std::invalid_argument("not an IPv4 address: " + resolver);
        }
        const timeval timeout{10, 0};
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::sendto(socket.get(), query.data(), query.size(), 0,
                     reinterpret_cast<const sockaddr*>(&server), sizeof server) < 0) {
            answer = std::string("sendto: ") + std::strerror(errno);
            return;
        }
        std::uint8_t reply[512];
        const ssize_t size = ::recv(socket.get(), reply, sizeof reply, 0);
        if (size < 0) {
            answer = std::string("recv: ") + std::strerror(errno);
            return;
        }
        const testing::DnsReply parsed = testing::readDnsReply({reply, std::size_t(size)});
        answer = parsed.id == kId && !parsed.address.empty() ? parsed.address
                                                             : "no A record in the reply";
    });
    return answer;
}

}  // namespace nimbra::e2e
