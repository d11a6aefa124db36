#pragma once

// A small world of network namespaces for the tests of the whole-machine tunnel:
//
//   client (192.168.77.2, fd77::2) --lan0-- router (192.168.77.1, fd77::1)
//      |                                    "the plain internet": the trace host (warp=off),
//      |                                    the MASQUE endpoint, a resolver on 1.1.1.1
//      +-- (TUN pair, made by `usque nativetun`) -- provider: the same trace host (warp=on)
//                                                   and a resolver on 1.1.1.1 (another answer)
//
// The provider's end of the TUN pair is made by a server the world runs in the provider's
// namespace (`usque far-end`, on farEndSocket()): nativetun asks it over that socket instead of
// entering the namespace itself, which would take more capabilities than nimbrad's service has.
//
// The same addresses answer on both sides, so what a client sees tells which way its packets
// went. Everything lives in namespaces the world creates (nimbra-<pid>-client|router|provider)
// and removes again; nothing touches the host's own network. Needs root.

#include <functional>
#include <string>
#include <vector>

#include "base/subprocess.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::e2e {

inline constexpr const char* kClientAddress = "192.168.77.2";
inline constexpr const char* kRouterAddress = "192.168.77.1";
inline constexpr const char* kTraceHost = "203.0.113.80";
inline constexpr const char* kTraceHost6 = "2001:db8:80::80";
inline constexpr const char* kTraceName = "www.cloudflare.com";
inline constexpr const char* kMasqueEndpoint = "162.159.198.1";
inline constexpr const char* kResolver = "1.1.1.1";
// What the resolvers answer for every A query.
inline constexpr const char* kProviderDnsAnswer = "198.51.100.53";
inline constexpr const char* kRouterDnsAnswer = "198.51.100.99";
// A second resolver, at the provider only (see addResolver), and what it answers.
inline constexpr const char* kOtherResolver = "9.9.9.9";
inline constexpr const char* kOtherDnsAnswer = "198.51.100.77";

class NamespaceWorld {
public:
    enum class Ns { client, router, provider };

    // Why the world cannot be built here (not root, no `ip`, no TUN device), or "".
    static std::string unavailable();

    // Builds the namespaces and links and starts the servers. Throws std::runtime_error.
    NamespaceWorld();
    // Stops the servers (by pid) and deletes the namespaces.
    ~NamespaceWorld();
    NamespaceWorld(const NamespaceWorld&) = delete;
    NamespaceWorld& operator=(const NamespaceWorld&) = delete;

    std::string name(Ns ns) const;
    // "/run/netns/<name>", for setns().
    std::string path(Ns ns) const;
    // The far-end server's socket, for USQUE_STANDIN_FAR_END.
    std::string farEndSocket() const;

    // `argv` as a command line that runs it inside `ns`.
    std::vector<std::string> inside(Ns ns, std::vector<std::string> argv) const;
    // Runs `argv` inside `ns` to its end.
    Subprocess::RunResult run(Ns ns, std::vector<std::string> argv) const;
    // The same for a command that must succeed; returns its stdout, throws otherwise.
    std::string output(Ns ns, std::vector<std::string> argv) const;
    // Starts a program inside `ns` with extra "NAME=value" environment entries; the caller owns it.
    Subprocess start(Ns ns, std::vector<std::string> argv,
                     const std::vector<std::string>& environment = {},
                     Subprocess::Output output = Subprocess::Output::separate) const;

    // A plain `curl https://www.cloudflare.com/cdn-cgi/trace` from the client, the name resolved
    // to kTraceHost (or kTraceHost6): "on" or "off" from the trace's warp= line, or curl's error.
    std::string warp(bool ipv6 = false) const;
    // That curl command line, to run some other way, and the warp= value of what it printed.
    static std::vector<std::string> traceCommand(bool ipv6 = false);
    static std::string warpOf(const Subprocess::RunResult& result);

    // Asks `resolver` (port 53, UDP) from the client for the A record of a name: the address it
    // answers, or why there is none.
    std::string lookup(const std::string& resolver) const;

    // Runs `body` on a thread that has entered `ns`; its sockets live there. Rethrows.
    void inside(Ns ns, const std::function<void()>& body) const;

    // Another resolver stand-in in `ns` on `address` (added to its loopback), port 53.
    void addResolver(Ns ns, const std::string& address, const std::string& answer);

    // Gives `ns` its own /etc/hosts (`ip netns exec` mounts /etc/netns/<name>/hosts over it for
    // the programs it starts): the world's names resolved the way a plain program would.
    void writeHosts(Ns ns, const std::string& lines) const;

private:
    void build();
    void tearDown() noexcept;
    void startServers(Ns ns, const std::string& warp, const std::string& dnsAnswer);
    void keepListening(Ns ns, Subprocess process, const std::string& what);

    std::string prefix_;
    testing::TempDir sockets_;
    std::vector<Subprocess> servers_;
};

}  // namespace nimbra::e2e
