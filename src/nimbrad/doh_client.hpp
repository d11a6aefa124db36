#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nimbrad/dns_upstream.hpp"

namespace nimbra::nimbrad {

// DNS-over-HTTPS (RFC 8484): each query is POSTed as application/dns-message to the upstream's
// URL. One libcurl multi handle on a thread of its own carries every query, so connections are
// kept and reused between queries, and queries share one HTTP/2 connection when the server
// offers it.
//
// The DoH host is never looked up by curl: it is reached at the upstream's pinned addresses (or
// knownDohAddresses() of its host), handed to curl as CURLOPT_RESOLVE, and a query to a host
// with neither fails at once. Environment proxies are ignored: the query goes straight out.
class DohClient {
public:
    using Message = std::vector<std::uint8_t>;
    // The answer with the query's own id, or nullopt when the query failed: no connection, an
    // HTTP status other than 200, the time-out, or an answer whose id or question do not match.
    using Done = std::function<void(std::optional<Message>)>;

    struct Options {
        // For the whole exchange, connecting included.
        std::chrono::milliseconds timeout{4000};
        // A CA bundle to trust instead of the system's (tests); empty: the system's.
        std::string caFile;
    };

    explicit DohClient(Options options);
    // Stops the thread; queries still in flight are abandoned without calling their `done`.
    ~DohClient();
    DohClient(const DohClient&) = delete;
    DohClient& operator=(const DohClient&) = delete;

    // Sends `query` (a standard query, see dns::querySize) to `upstream` (a DoH one). `done` runs
    // exactly once, on the client's thread, unless the client is destroyed first. May be called
    // from any thread.
    void exchange(const DnsUpstream& upstream, Message query, Done done);

private:
    struct Request {
        DnsUpstream upstream;
        Message query;
        Done done;
    };
    struct Loop;

    void run();

    const Options options_;
    std::mutex mutex_;  // guards queue_ and stopping_
    std::deque<Request> queue_;
    bool stopping_ = false;
    std::unique_ptr<Loop> loop_;
    std::thread thread_;
};

}  // namespace nimbra::nimbrad
