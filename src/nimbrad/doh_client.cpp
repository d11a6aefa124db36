#include "nimbrad/doh_client.hpp"

#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <list>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "nimbrad/dns_message.hpp"

namespace nimbra::nimbrad {

namespace {

constexpr std::string_view kMediaType = "application/dns-message";

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// CURLOPT_RESOLVE's form: "host:port:address[,address]...", IPv6 addresses in brackets.
std::string resolveEntry(const std::string& host, std::uint16_t port,
                         const std::vector<asio::ip::address>& addresses) {
    std::string entry = host + ":" + std::to_string(port) + ":";
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (i > 0) entry += ',';
        entry +=
            addresses[i].is_v6() ? "[" + addresses[i].to_string() + "]" : addresses[i].to_string();
    }
    return entry;
}

// Called by curl only when it is about to look a name up itself, which must never happen: the
// host would be resolved through the very forwarder that waits for it.
int refuseLookup(void*, void*, void*) {
    return 1;
}

// Curl's sockets close-on-exec from the instant they exist, like the rest of the forwarder's: the
// daemon starts children from other threads at any moment.
curl_socket_t openCloseOnExec(void*, curlsocktype, curl_sockaddr* address) {
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    return fd < 0 ? CURL_SOCKET_BAD : fd;
}

}  // namespace

struct DohClient::Loop {
    // One exchange: the easy handle and everything it points into.
    struct Transfer {
        CURL* easy = nullptr;
        Message query;  // as given, its own id included
        Message sent;   // the same with id 0, as RFC 8484 asks for cache-friendliness
        std::string body;
        curl_slist* headers = nullptr;
        curl_slist* resolve = nullptr;
        Done done;

        ~Transfer() {
            curl_easy_cleanup(easy);
            curl_slist_free_all(headers);
            curl_slist_free_all(resolve);
        }
    };

    Loop() : multi(curl_multi_init()) {
        if (!multi) throw std::runtime_error("curl_multi_init failed");
        // Queries to one server share a connection as HTTP/2 streams when it speaks HTTP/2.
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    }
    ~Loop() {
        for (auto& transfer : transfers) curl_multi_remove_handle(multi, transfer.easy);
        transfers.clear();
        curl_multi_cleanup(multi);
    }

    CURLM* multi;
    std::list<Transfer> transfers;
};

namespace {

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const std::size_t bytes = size * count;
    // A DNS message is at most 64 KiB; anything longer is not one (returning less aborts).
    if (body->size() + bytes > dns::kMaxMessageSize) return 0;
    body->append(data, bytes);
    return bytes;
}

bool hasMediaType(CURL* easy) {
    char* type = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type) != CURLE_OK || !type) return false;
    const std::string_view given(type);
    return given.size() >= kMediaType.size() &&
           std::ranges::equal(given.substr(0, kMediaType.size()), kMediaType, [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

}  // namespace

DohClient::DohClient(Options options) : options_(std::move(options)) {
    initialiseCurlOnce();
    loop_ = std::make_unique<Loop>();
    thread_ = std::thread([this] { run(); });
}

DohClient::~DohClient() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_multi_wakeup(loop_->multi);
    thread_.join();
}

void DohClient::exchange(const DnsUpstream& upstream, Message query, Done done) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back({upstream, std::move(query), std::move(done)});
    }
    curl_multi_wakeup(loop_->multi);
}

void DohClient::run() {
    using Transfer = Loop::Transfer;
    Loop& loop = *loop_;
    auto start = [&](Request& request) -> bool {
        const std::string host = request.upstream.dohHost();
        const auto addresses =
            request.upstream.pinned.empty() ? knownDohAddresses(host) : request.upstream.pinned;
        if (!request.upstream.isDoh() || host.empty() || addresses.empty()) return false;

        auto& transfer = loop.transfers.emplace_back();
        transfer.easy = curl_easy_init();
        if (!transfer.easy) {
            loop.transfers.pop_back();
            return false;
        }
        transfer.query = std::move(request.query);
        transfer.sent = transfer.query;
        dns::setMessageId(transfer.sent, 0);
        transfer.done = std::move(request.done);
        transfer.headers = curl_slist_append(nullptr, "Content-Type: application/dns-message");
        transfer.headers = curl_slist_append(transfer.headers, "Accept: application/dns-message");
        // An IP literal is used as it is; a name is given its addresses.
        asio::error_code literal;
        asio::ip::make_address(host, literal);
        if (literal) {
            transfer.resolve = curl_slist_append(
                nullptr, resolveEntry(host, request.upstream.dohPort(), addresses).c_str());
        }

        CURL* easy = transfer.easy;
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_URL, request.upstream.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openCloseOnExec);
        curl_easy_setopt(easy, CURLOPT_RESOLVE, transfer.resolve);
        // curl asks this before it reads an IP literal too, so only names get the guard.
        if (transfer.resolve) curl_easy_setopt(easy, CURLOPT_RESOLVER_START_FUNCTION, refuseLookup);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer.sent.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(transfer.sent.size()));
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        // Wait for a connection being set up to multiplex on instead of opening another.
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeout.count()));
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        if (!options_.caFile.empty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, options_.caFile.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer.body);
        if (curl_multi_add_handle(loop.multi, easy) != CURLM_OK) {
            request.done = std::move(transfer.done);
            loop.transfers.pop_back();
            return false;
        }
        return true;
    };

    auto finish = [&](CURL* easy, CURLcode result) {
        Transfer* found = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &found);
        const auto it =
            std::ranges::find_if(loop.transfers, [&](const Transfer& t) { return &t == found; });
        if (it == loop.transfers.end()) return;
        curl_multi_remove_handle(loop.multi, easy);
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        std::optional<Message> answer;
        if (result == CURLE_OK && status == 200 && hasMediaType(easy)) {
            Message reply(it->body.begin(), it->body.end());
            // Only the answer to this very query counts: id 0 as sent, and the same question.
            if (dns::isResponse(reply) && dns::messageId(reply) == 0 &&
                dns::answersQuestionOf(reply, it->query)) {
                dns::setMessageId(reply, *dns::messageId(it->query));
                answer = std::move(reply);
            }
        }
        const Done done = std::move(it->done);
        loop.transfers.erase(it);
        done(std::move(answer));
    };

    for (;;) {
        std::deque<Request> fresh;
        {
            const std::lock_guard lock(mutex_);
            if (stopping_) return;
            fresh.swap(queue_);
        }
        for (auto& request : fresh) {
            if (!start(request)) request.done(std::nullopt);
        }
        int running = 0;
        curl_multi_perform(loop.multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(loop.multi, &left)) {
            if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
        }
        // Woken by exchange(), the destructor and curl's own timers.
        curl_multi_poll(loop.multi, nullptr, 0, 30000, nullptr);
    }
}

}  // namespace nimbra::nimbrad
