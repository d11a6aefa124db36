#include "nimbrad/control_server.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <exception>
#include <string_view>
#include <system_error>
#include <utility>

#include "nimbrad/app_route_arguments.hpp"
#include "nimbrad/argument_checks.hpp"

namespace nimbra::nimbrad {

namespace {

using asio::awaitable;
using asio::local::stream_protocol;
using namespace asio::experimental::awaitable_operators;

constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
// A uid no account has: what a peer counts as when the kernel cannot tell who it is.
constexpr uid_t kUnknownUid = static_cast<uid_t>(-1);

using Check = std::optional<std::string> (*)(std::string_view);

struct CommandRule {
    std::string_view name;
    bool anyone;  // may be sent by users who are not allowed to change anything
    std::size_t minArgs;
    std::size_t maxArgs;
    Check check;  // applied to the single argument, when there is one and a check
};

std::optional<std::string> noCheck(std::string_view) {
    return std::nullopt;
}

constexpr std::array kCommands{
    CommandRule{"ping", true, 0, 0, noCheck},
    CommandRule{"status", true, 0, 0, noCheck},
    CommandRule{"start", false, 0, 0, noCheck},
    CommandRule{"stop", false, 0, 0, noCheck},
    CommandRule{"restart", false, 0, 0, noCheck},
    CommandRule{"dns", false, 1, 2, noCheck},  // checked below: the value depends on the mode
    CommandRule{"exclude", false, 1, 1, refuseExclusion},
    CommandRule{"include", false, 1, 1, refuseExclusion},
    CommandRule{"nat64", false, 1, 1, refuseNat64Prefix},
    CommandRule{"chinadirect", false, 1, 1, refuseSwitch},
    CommandRule{"app_routes", false, 1, 2, noCheck},  // checked below: the paths depend on the uid
};

std::string quotedName(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

std::optional<std::string> refuseDnsArgs(const std::vector<std::string>& args) {
    if (auto refused = refuseDnsMode(args[0])) return refused;
    const std::string& mode = args[0];
    const bool hasValue = args.size() == 2;
    if (mode == "custom") {
        if (!hasValue) return std::string("the custom DNS mode needs an upstream");
        return refuseDnsUpstream(args[1]);
    }
    if (mode == "nextdns") return hasValue ? refuseNextDnsProfile(args[1]) : std::nullopt;
    if (hasValue) return "the DNS mode " + quotedName(mode) + " takes no value";
    return std::nullopt;
}

std::string argumentCountText(const CommandRule& rule) {
    if (rule.maxArgs == 0) return quotedName(rule.name) + " takes no arguments";
    if (rule.name == "dns") return "\"dns\" takes a mode and an optional value";
    if (rule.name == "app_routes") return "\"app_routes\" takes off, or a default and the entries";
    return quotedName(rule.name) + " takes one argument";
}

uid_t peerUid(stream_protocol::socket& socket) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials) {
        return kUnknownUid;
    }
    return credentials.uid;
}

// The daemon starts usque; none of our sockets should be inherited by it.
void closeOnExec(int fd) {
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

}  // namespace

bool isTrustedPeer(uid_t peerUid, const std::vector<uid_t>& allowedUids) {
    return peerUid == 0 ||
           std::find(allowedUids.begin(), allowedUids.end(), peerUid) != allowedUids.end();
}

std::optional<std::string> refuseRequest(const Request& request, uid_t peerUid,
                                         const std::vector<uid_t>& allowedUids) {
    const auto rule = std::find_if(kCommands.begin(), kCommands.end(),
                                   [&](const CommandRule& r) { return r.name == request.cmd; });
    if (rule == kCommands.end()) return "unknown command " + jsonString(request.cmd.substr(0, 64));
    if (!rule->anyone && !isTrustedPeer(peerUid, allowedUids)) return std::string("not authorised");
    if (request.args.size() < rule->minArgs || request.args.size() > rule->maxArgs) {
        return argumentCountText(*rule);
    }
    if (rule->name == "dns") return refuseDnsArgs(request.args);
    if (rule->name == "app_routes") return refuseAppRoutes(request.args, peerUid);
    if (!request.args.empty()) return rule->check(request.args[0]);
    return std::nullopt;
}

struct ControlServer::Shared {
    Shared(asio::io_context& context, std::vector<uid_t> uids, Handler h, Options o)
        : io(context),
          acceptor(asio::make_strand(context)),
          commands(o.commands.value_or(asio::make_strand(context))),
          allowedUids(std::move(uids)),
          handler(std::move(h)),
          options(o),
          quota(o.connections) {}

    awaitable<void> accept(std::shared_ptr<Shared> self);
    awaitable<void> serve(std::shared_ptr<Shared> self, stream_protocol::socket socket, uid_t uid,
                          ConnectionQuota::Slot slot);
    awaitable<std::string> answer(std::shared_ptr<Shared> self, std::string_view line, uid_t uid);
    awaitable<std::string> runHandler(std::shared_ptr<Shared> self, Request request);

    asio::io_context& io;
    stream_protocol::acceptor acceptor;
    asio::strand<asio::io_context::executor_type> commands;
    const std::vector<uid_t> allowedUids;
    const Handler handler;
    const Options options;
    ConnectionQuota quota;
    ino_t socketInode = 0;
};

awaitable<void> ControlServer::Shared::accept(std::shared_ptr<Shared> self) {
    for (;;) {
        stream_protocol::socket socket(asio::make_strand(io));
        auto [error] = co_await acceptor.async_accept(socket, kNoThrow);
        if (error == asio::error::operation_aborted || !acceptor.is_open()) co_return;
        if (error) {
            // The peer left before we took it, or descriptors ran out for now: pause briefly
            // rather than spin on an error that will not clear at once.
            asio::steady_timer pause(acceptor.get_executor(), std::chrono::milliseconds(50));
            co_await pause.async_wait(kNoThrow);
            continue;
        }
        closeOnExec(socket.native_handle());
        // Counted by who the kernel says connected, before a byte is read: a peer past its
        // quota costs one accept and one close, and holds nothing.
        const uid_t uid = peerUid(socket);
        auto slot = quota.take(uid, isTrustedPeer(uid, allowedUids));
        if (!slot) continue;  // the socket closes as it goes out of scope
        const auto executor = socket.get_executor();
        asio::co_spawn(executor, serve(self, std::move(socket), uid, std::move(*slot)),
                       asio::detached);
    }
}

awaitable<void> ControlServer::Shared::serve(std::shared_ptr<Shared> self,
                                             stream_protocol::socket socket, uid_t uid,
                                             ConnectionQuota::Slot slot) {
    // Held until the connection ends, then given back.
    const ConnectionQuota::Slot held = std::move(slot);
    const bool trusted = isTrustedPeer(uid, allowedUids);
    const auto timeout = trusted ? options.requestTimeout : options.strangerRequestTimeout;
    const auto maxBytes = trusted ? options.maxRequestBytes : options.strangerMaxRequestBytes;
    std::string buffer;
    asio::steady_timer timer(socket.get_executor());
    timer.expires_after(timeout);
    auto received = co_await (
        asio::async_read_until(socket, asio::dynamic_buffer(buffer, maxBytes), '\n', kNoThrow) ||
        timer.async_wait(kNoThrow));
    // Too slow, too long, or gone before the end of the line: no reply, just the close.
    if (received.index() != 0) co_return;
    const auto [error, length] = std::get<0>(received);
    if (error) co_return;

    std::string reply = co_await answer(self, std::string_view(buffer).substr(0, length - 1), uid);
    reply += '\n';
    timer.expires_after(timeout);
    co_await (asio::async_write(socket, asio::buffer(reply), kNoThrow) ||
              timer.async_wait(kNoThrow));
}

awaitable<std::string> ControlServer::Shared::answer(std::shared_ptr<Shared> self,
                                                     std::string_view line, uid_t uid) {
    std::string why;
    auto request = parseRequest(line, why);
    if (!request) co_return replyJson(false, "malformed request: " + why);
    if (auto refused = refuseRequest(*request, uid, allowedUids)) {
        co_return replyJson(false, *refused);
    }
    request->fromTrustedPeer = isTrustedPeer(uid, allowedUids);
    co_return co_await asio::co_spawn(commands, runHandler(self, std::move(*request)),
                                      asio::use_awaitable);
}

awaitable<std::string> ControlServer::Shared::runHandler(std::shared_ptr<Shared> self,
                                                         Request request) {
    // Runs on the command strand: one command at a time, in the order they got here.
    try {
        std::string reply = self->handler(request);
        // A line feed inside the reply would cut it short for the client.
        if (reply.find('\n') != std::string::npos) {
            co_return replyJson(false, "internal error: reply spans lines");
        }
        co_return reply;
    } catch (const std::exception& failure) {
        co_return replyJson(false, std::string("internal error: ") + failure.what());
    }
}

ControlServer::ControlServer(asio::io_context& io, std::string socketPath,
                             std::vector<uid_t> allowedUids, Handler handler)
    : ControlServer(io, std::move(socketPath), std::move(allowedUids), std::move(handler),
                    Options{}) {}

ControlServer::ControlServer(asio::io_context& io, std::string socketPath,
                             std::vector<uid_t> allowedUids, Handler handler, Options options)
    : socketPath_(std::move(socketPath)),
      shared_(std::make_shared<Shared>(io, std::move(allowedUids), std::move(handler), options)) {
    const stream_protocol::endpoint endpoint(socketPath_);
    struct stat existing {};
    if (::lstat(socketPath_.c_str(), &existing) == 0) {
        // Only a socket left by an earlier run may be replaced, and only when nobody answers on
        // it: a second daemon must not take the first one's socket away.
        if (!S_ISSOCK(existing.st_mode)) {
            throw std::system_error(EEXIST, std::generic_category(),
                                    socketPath_ + " exists and is not a socket");
        }
        stream_protocol::socket probe(io);
        asio::error_code refused;
        probe.connect(endpoint, refused);
        if (!refused) {
            throw std::system_error(EADDRINUSE, std::generic_category(),
                                    "another server listens on " + socketPath_);
        }
        ::unlink(socketPath_.c_str());
    }
    auto& acceptor = shared_->acceptor;
    acceptor.open(endpoint.protocol());
    closeOnExec(acceptor.native_handle());
    acceptor.bind(endpoint);
    // Users connect to ask for status; what they may change is decided per request.
    if (::chmod(socketPath_.c_str(), 0666) != 0 || ::lstat(socketPath_.c_str(), &existing) != 0) {
        const int code = errno;
        ::unlink(socketPath_.c_str());
        throw std::system_error(code, std::generic_category(), "chmod " + socketPath_);
    }
    shared_->socketInode = existing.st_ino;
    acceptor.listen();
    asio::co_spawn(acceptor.get_executor(), shared_->accept(shared_), asio::detached);
}

ControlServer::~ControlServer() {
    // Only remove the path while it is still our socket; a newer server may have replaced it.
    struct stat current {};
    if (::lstat(socketPath_.c_str(), &current) == 0 && S_ISSOCK(current.st_mode) &&
        current.st_ino == shared_->socketInode) {
        ::unlink(socketPath_.c_str());
    }
    // The accept loop may be waiting on another thread; the acceptor is closed on its strand.
    asio::post(shared_->acceptor.get_executor(), [shared = shared_] {
        asio::error_code ignored;
        shared->acceptor.close(ignored);
    });
}

}  // namespace nimbra::nimbrad
