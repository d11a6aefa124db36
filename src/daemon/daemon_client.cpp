#include "daemon/daemon_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/async/cancellation.hpp"
#include "base/unique_fd.hpp"
#include "daemon/daemon_error.hpp"

namespace nimbra::DaemonClient {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 65'536;

[[noreturn]] void connectFailed(std::string message) {
    throw DaemonError(DaemonError::ConnectFailed{std::move(message)});
}

std::string requestLine(const std::string& cmd, const std::vector<std::string>& args) {
    // Ordered so "cmd" comes first: easier to read in the daemon's log.
    nlohmann::ordered_json request;
    request["cmd"] = cmd;
    if (!args.empty()) request["args"] = args;
    return request.dump() + "\n";
}

UniqueFd connectTo(const std::string& sock) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) connectFailed("socket()");
    if (sock.size() >= kSocketPathField) connectFailed("sock path too long");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, sock.data(), sock.size());
    // Not retried on EINTR: the connection would go on being set up in the background and a
    // second connect() could only report that. The daemon is local; the user retries.
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        connectFailed("connect " + sock + " failed (errno=" + std::to_string(errno) +
                      ") — install nimbrad first");
    }
    return fd;
}

// Reads until the first line feed, the end of the stream or the end of the budget, whichever
// comes first. The budget is enforced with poll() so a daemon that never answers cannot hold
// the thread in a blocked read.
std::string readReply(int fd, std::chrono::milliseconds budget) {
    const auto deadline = Clock::now() + budget;
    std::string buffer;
    std::vector<char> chunk(kReadChunk);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd waitFor{fd, POLLIN, 0};
        const int ready =
            ::poll(&waitFor, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            connectFailed("read failed errno=" + std::to_string(errno));
        }
        if (ready == 0) continue;  // the loop head decides whether the budget is spent
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            connectFailed("read failed errno=" + std::to_string(errno));
        }
        if (got == 0) break;
        const std::size_t before = buffer.size();
        buffer.append(chunk.data(), static_cast<std::size_t>(got));
        if (buffer.find('\n', before) != std::string::npos) break;
    }
    return buffer;
}

bool nonEmpty(const std::optional<std::string>& text) {
    return text.has_value() && !text->empty();
}

bool isReady(const Status& s) {
    if (s.ok == true) return true;
    return s.tunnelOn == true && s.connected == true && nonEmpty(s.tunIface) && !nonEmpty(s.tunErr);
}

std::string notReadyText(const Status& last) {
    if (last.tunErr) return *last.tunErr;
    if (last.connected == true && last.tunIface) return *last.tunIface;
    return "timeout waiting for MASQUE connect";
}

// One "status" poll of the readiness wait: the status to remember from now on (all absent
// when the reply has none), or nothing when the exchange failed and the last one stays; the
// daemon may just be restarting.
std::optional<Status> pollStatus(const std::string& sock, std::chrono::milliseconds budget) {
    try {
        return call("status", {}, sock, budget).status.value_or(Status{});
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

Reply call(const std::string& cmd, const std::vector<std::string>& args, const std::string& sock,
           std::chrono::milliseconds replyBudget) {
    const std::string request = requestLine(cmd, args);
    const UniqueFd fd = connectTo(sock);
    // One send that must take the whole request; MSG_NOSIGNAL turns a daemon that already
    // hung up into EPIPE instead of a signal that ends the process.
    ssize_t sent;
    do {
        sent = ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) connectFailed("write failed");

    const std::string buffer = readReply(fd.get(), replyBudget);
    const auto lineEnd = buffer.find('\n');
    if (lineEnd == std::string::npos) connectFailed("empty/truncated reply");
    return decodeReply(std::string_view(buffer).substr(0, lineEnd));
}

Reply command(const std::string& cmd, const std::vector<std::string>& args,
              const std::string& fallback, const std::string& sock,
              std::chrono::milliseconds replyBudget) {
    Reply reply = call(cmd, args, sock, replyBudget);
    if (!reply.ok) {
        throw DaemonError(DaemonError::CommandFailed{reply.msg.value_or(fallback)});
    }
    return reply;
}

bool isReachable(const std::string& sock, std::chrono::milliseconds replyBudget) {
    try {
        call("ping", {}, sock, replyBudget);
        return true;
    } catch (...) {
        return false;
    }
}

void setDNS(const std::string& mode, const std::optional<std::string>& custom,
            const std::string& sock) {
    std::vector<std::string> args{mode};
    if (nonEmpty(custom)) args.push_back(*custom);
    command("dns", args, "dns failed", sock);
}

void exclude(const std::string& target, const std::string& sock) {
    command("exclude", {target}, "exclude failed", sock);
}

void include(const std::string& target, const std::string& sock) {
    command("include", {target}, "include failed", sock);
}

void setNAT64(const std::string& prefix, const std::string& sock) {
    command("nat64", {prefix}, "nat64 failed", sock);
}

void setChinaDirect(bool on, const std::string& sock) {
    command("chinadirect", {on ? "on" : "off"}, "chinadirect failed", sock);
}

Status waitUntilReady(std::chrono::milliseconds timeout, const std::string& sock,
                      const ReadyWait& wait) {
    const auto deadline = Clock::now() + timeout;
    Status last;
    for (;;) {
        if (wait.cancelled && wait.cancelled()) throw cancellationError();
        if (Clock::now() >= deadline) break;
        if (auto seen = pollStatus(sock, wait.replyBudget)) {
            last = std::move(*seen);
            if (isReady(last)) return last;
            if (nonEmpty(last.tunErr) && last.tunnelOn != true) {
                throw DaemonError(DaemonError::CommandFailed{*last.tunErr});
            }
        }
        std::this_thread::sleep_for(wait.poll);
    }
    throw DaemonError(DaemonError::NotReady{notReadyText(last)});
}

}  // namespace nimbra::DaemonClient
