#include "support/fake_daemon.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace nimbra::testing {

FakeReply FakeReply::split(const std::string& raw, std::size_t piece,
                           std::chrono::milliseconds pause) {
    FakeReply reply;
    for (std::size_t at = 0; at < raw.size(); at += piece)
        reply.writes.push_back(raw.substr(at, piece));
    reply.pause = pause;
    return reply;
}

FakeDaemon::FakeDaemon() : dir_(std::make_unique<TempDir>()) {
    path_ = (dir_->path() / "nimbra.sock").string();
    listen();
}

FakeDaemon::FakeDaemon(std::string socketPath) : path_(std::move(socketPath)) {
    listen();
}

void FakeDaemon::listen() {
    sockaddr_un address{};
    if (path_.size() >= sizeof address.sun_path)
        throw std::invalid_argument("socket path too long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (!listener_.valid() || !stop_.valid() ||
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 16) != 0) {
        throw std::system_error(errno, std::generic_category(), "fake daemon on " + path_);
    }
    thread_ = std::thread([this] { serve(); });
}

FakeDaemon::~FakeDaemon() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stop_.get(), &one, sizeof one);
    thread_.join();
    ::unlink(path_.c_str());
}

void FakeDaemon::script(const std::string& cmd, std::vector<FakeReply> replies) {
    std::lock_guard lock(mutex_);
    scripts_[cmd] = std::move(replies);
    served_[cmd] = 0;
}

std::vector<std::string> FakeDaemon::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t FakeDaemon::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool FakeDaemon::waitFor(int fd, std::chrono::milliseconds timeout) const {
    pollfd fds[2] = {{stop_.get(), POLLIN, 0}, {fd, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int wait = -1;
        if (timeout.count() >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        const int ready = ::poll(fds, fd >= 0 ? 2 : 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[0].revents != 0) return false;
        return true;  // readable, or the time is up
    }
}

void FakeDaemon::serve() {
    for (;;) {
        if (!waitFor(listener_.get(), std::chrono::milliseconds(-1))) return;
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) continue;
        {
            std::lock_guard lock(mutex_);
            ++connections_;
        }
        answer(client.get());
    }
}

FakeReply FakeDaemon::replyFor(const std::string& request) {
    // The client writes compact JSON, so the command is the string after "cmd":.
    std::string cmd;
    const std::string key = "\"cmd\":\"";
    if (const auto at = request.find(key); at != std::string::npos) {
        const auto start = at + key.size();
        cmd = request.substr(start, request.find('"', start) - start);
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    const auto script = scripts_.find(cmd);
    if (script == scripts_.end() || script->second.empty())
        return FakeReply::line(R"({"ok":true})");
    std::size_t& served = served_[cmd];
    const FakeReply& reply = script->second[std::min(served, script->second.size() - 1)];
    ++served;
    return reply;
}

void FakeDaemon::answer(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find('\n') == std::string::npos) {
        if (!waitFor(fd, std::chrono::milliseconds(-1))) return;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    const FakeReply reply = replyFor(request);

    if (reply.delay.count() > 0 && !waitFor(-1, reply.delay)) return;
    while (reply.release.valid() &&
           reply.release.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        if (!waitFor(-1, std::chrono::milliseconds(5))) return;
    }
    for (std::size_t i = 0; i < reply.writes.size(); ++i) {
        if (i > 0 && reply.pause.count() > 0 && !waitFor(-1, reply.pause)) return;
        const std::string& bytes = reply.writes[i];
        for (std::size_t sent = 0; sent < bytes.size();) {
            // A client that has already read its line and gone makes this fail: that is fine.
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }
    while (reply.stayOpen && waitFor(fd, std::chrono::milliseconds(-1))) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR)) return;
    }
}

}  // namespace nimbra::testing
