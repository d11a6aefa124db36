#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "daemon/daemon_reply.hpp"

// The client side of nimbrad's control socket. Every operation opens its own connection, sends
// one request line, reads one reply line and closes the connection; nothing is shared between
// calls, so any number may run at once on different threads.
//
// Every operation blocks (one exchange for up to its reply budget, the readiness wait for its
// whole time-out): run them on the blocking pool, never on the core or GUI thread. Code that
// needs "is the daemon there?" without blocking uses DaemonReachability.
//
// Failures are DaemonError, except a reply line that cannot be decoded, which surfaces as
// ReplyDecodeError so the user reads what was wrong with it.
namespace nimbra::DaemonClient {

// How long one exchange waits for its reply line, counted from the moment the request is sent.
inline constexpr std::chrono::milliseconds kReplyBudget{30'000};
// The pause between two "status" polls of the readiness wait.
inline constexpr std::chrono::milliseconds kReadyPoll{350};
// sun_path is 104 bytes on macOS, so a path needs at most 103 bytes and its terminator there;
// we hold Linux to the same rule so a path that works here works everywhere.
inline constexpr std::size_t kSocketPathField = 104;

// One exchange: sends {"cmd":cmd,"args":args} ("args" only when there are any) and a line feed,
// and decodes the reply line. Does not look at the reply's "ok".
Reply call(const std::string& cmd, const std::vector<std::string>& args, const std::string& sock,
           std::chrono::milliseconds replyBudget = kReplyBudget);

// call(), then a reply whose "ok" is false becomes DaemonError::CommandFailed with the reply's
// "msg", or `fallback` when it has none. For "start" and "restart" ("start failed", "restart
// failed") and for the setters below.
Reply command(const std::string& cmd, const std::vector<std::string>& args,
              const std::string& fallback, const std::string& sock,
              std::chrono::milliseconds replyBudget = kReplyBudget);

// "ping": true when any reply decodes, whatever its "ok"; false on every failure. Never throws.
bool isReachable(const std::string& sock, std::chrono::milliseconds replyBudget = kReplyBudget);

// "dns" with [mode], or [mode, custom] when custom is present and not empty.
void setDNS(const std::string& mode, const std::optional<std::string>& custom,
            const std::string& sock);
// "exclude" / "include" with [target]: an IP address, a CIDR block or a domain.
void exclude(const std::string& target, const std::string& sock);
void include(const std::string& target, const std::string& sock);
// "nat64" with [prefix], "none" for the direct exit.
void setNAT64(const std::string& prefix, const std::string& sock);
// "chinadirect" with ["on"] or ["off"].
void setChinaDirect(bool on, const std::string& sock);

struct ReadyWait {
    std::chrono::milliseconds poll = kReadyPoll;
    std::chrono::milliseconds replyBudget = kReplyBudget;
    // Asked before every poll; once it says yes the wait ends with the cancellation error (see
    // base/async/cancellation.hpp) instead of polling on: a connect the user called off should
    // not keep the daemon busy for the rest of its 45 s.
    std::function<bool()> cancelled;
};

// Polls "status" (the first poll at once, then every `wait.poll`) until the tunnel is ready and
// returns that status. Ready: the status's "ok" is true, or the tunnel is on, connected, has a
// named interface and no error. A tunnel error while the tunnel is not on throws
// CommandFailed with that error at once. Failed exchanges keep the status last seen, a reply
// without one forgets it. When `timeout` passes, throws NotReady with the last status's tunnel
// error (even an empty one), else its interface if it was connected, else "timeout waiting for
// MASQUE connect".
Status waitUntilReady(std::chrono::milliseconds timeout, const std::string& sock,
                      const ReadyWait& wait = {});

}  // namespace nimbra::DaemonClient
