// The stand-in resolver for the DNS tests and the benchmark: an authoritative responder on
// 127.0.0.1 that answers every A query with one address, over UDP and TCP on the same port, or
// with --doh as DNS-over-HTTPS instead.
//
//   dns-standin [--port P] [--address A.B.C.D] [--delay-ms N] [--drop] [--truncate] [--doh]
//               [--exit-with-parent] [--bind A.B.C.D]
//
// --doh serves HTTPS (HTTP/1.1, connections kept) on a TCP port alone, with the test certificate
// from tests/support/trace_server/certs: a POST of an application/dns-message body to any path
// gets the usual answer back as one. --delay-ms and --drop apply as well.
// --bind listens elsewhere than 127.0.0.1: only inside a network namespace that a test has made
// for itself (there it stands for a public resolver such as 1.1.1.1).
// --drop never answers (an upstream that has gone silent); --delay-ms holds each answer back;
// --truncate answers UDP queries with an empty, truncated reply, so that the full answer is only
// to be had over TCP. Other query types get an empty NOERROR answer. Once listening it prints
// "listening port=<P>" on stdout.

#include <openssl/ssl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <array>
#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using asio::ip::tcp;
using asio::ip::udp;
using Message = std::vector<std::uint8_t>;

struct Knobs {
    std::uint16_t port = 0;
    asio::ip::address_v4 bind = asio::ip::address_v4::loopback();
    asio::ip::address_v4 address = asio::ip::make_address_v4("192.0.2.1");
    std::chrono::milliseconds delay{0};
    bool drop = false;
    bool truncate = false;
    bool doh = false;
    bool exitWithParent = false;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "dns-standin: %s\n", why);
    std::exit(2);
}

Knobs parseKnobs(int argc, char** argv) {
    Knobs knobs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--port") {
            knobs.port = static_cast<std::uint16_t>(std::stoi(value()));
        } else if (arg == "--bind") {
            knobs.bind = asio::ip::make_address_v4(value());
        } else if (arg == "--address") {
            knobs.address = asio::ip::make_address_v4(value());
        } else if (arg == "--delay-ms") {
            knobs.delay = std::chrono::milliseconds(std::stoi(value()));
        } else if (arg == "--drop") {
            knobs.drop = true;
        } else if (arg == "--truncate") {
            knobs.truncate = true;
        } else if (arg == "--doh") {
            knobs.doh = true;
        } else if (arg == "--exit-with-parent") {
            knobs.exitWithParent = true;
        } else {
            usage(("unknown argument " + arg).c_str());
        }
    }
    return knobs;
}

// The answer to `query`, or nothing when it is not a one-question query.
std::optional<Message> answerTo(const std::uint8_t* query, std::size_t size, const Knobs& knobs,
                                bool truncated) {
    if (size < 12 || (query[2] & 0x80) != 0 || query[4] != 0 || query[5] != 1) return std::nullopt;
    std::size_t at = 12;
    while (at < size && query[at] != 0) at += query[at] + 1u;
    if (at + 5 > size) return std::nullopt;
    const std::size_t questionEnd = at + 5;
    const bool isA = query[at + 1] == 0 && query[at + 2] == 1;

    Message answer(query, query + questionEnd);
    answer[2] = static_cast<std::uint8_t>(0x84 | (query[2] & 0x01) | (truncated ? 0x02 : 0));
    answer[3] = 0x80;
    std::fill(answer.begin() + 6, answer.begin() + 12, 0);
    if (isA && !truncated) {
        answer[7] = 1;
        const auto bytes = knobs.address.to_bytes();
        const std::uint8_t record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
        answer.insert(answer.end(), std::begin(record), std::end(record));
        answer.insert(answer.end(), bytes.begin(), bytes.end());
    }
    return answer;
}

class Server {
public:
    // With port 0 the kernel picks the UDP port and TCP follows; when that number is taken for
    // TCP (tests run side by side), a few more tries find one free for both.
    Server(asio::io_context& io, const Knobs& knobs) : io_(io), knobs_(knobs), udp_(io), tcp_(io) {
        for (int attempt = 1;; ++attempt) {
            udp_ = udp::socket(io, udp::endpoint(knobs.bind, knobs.port));
            tcp_ = tcp::acceptor(io);
            const tcp::endpoint endpoint(knobs.bind, udp_.local_endpoint().port());
            tcp_.open(endpoint.protocol());
            tcp_.set_option(tcp::acceptor::reuse_address(true));
            asio::error_code error;
            tcp_.bind(endpoint, error);
            if (!error) break;
            if (knobs.port != 0 || attempt == 16) throw std::system_error(error, "bind TCP");
        }
        tcp_.listen();
    }

    std::uint16_t port() const { return udp_.local_endpoint().port(); }

    void start() {
        receive();
        accept();
    }

private:
    void later(std::function<void()> action) {
        if (knobs_.delay.count() == 0) return action();
        auto timer = std::make_shared<asio::steady_timer>(io_, knobs_.delay);
        timer->async_wait([timer, action = std::move(action)](asio::error_code) { action(); });
    }

    void receive() {
        udp_.async_receive_from(
            asio::buffer(buffer_), client_, [this](asio::error_code error, std::size_t size) {
                if (error == asio::error::operation_aborted) return;
                if (!error && !knobs_.drop) {
                    if (auto answer = answerTo(buffer_.data(), size, knobs_, knobs_.truncate)) {
                        later([this, client = client_, answer = std::move(*answer)] {
                            asio::error_code ignored;
                            udp_.send_to(asio::buffer(answer), client, 0, ignored);
                        });
                    }
                }
                receive();
            });
    }

    void accept() {
        tcp_.async_accept([this](asio::error_code error, tcp::socket socket) {
            if (error == asio::error::operation_aborted) return;
            if (!error) serve(std::make_shared<tcp::socket>(std::move(socket)));
            accept();
        });
    }

    void serve(std::shared_ptr<tcp::socket> socket) {
        auto prefix = std::make_shared<std::array<std::uint8_t, 2>>();
        asio::async_read(
            *socket, asio::buffer(*prefix),
            [this, socket, prefix](asio::error_code error, std::size_t) {
                if (error) return;
                auto query = std::make_shared<Message>((*prefix)[0] << 8 | (*prefix)[1]);
                asio::async_read(
                    *socket, asio::buffer(*query),
                    [this, socket, query](asio::error_code error, std::size_t) {
                        if (error || knobs_.drop) return;
                        auto answer = answerTo(query->data(), query->size(), knobs_, false);
                        if (!answer) return;
                        later([this, socket, answer = std::move(*answer)] {
                            auto framed = std::make_shared<Message>(answer);
                            const std::uint8_t size[] = {
                                static_cast<std::uint8_t>(answer.size() >> 8),
                                static_cast<std::uint8_t>(answer.size() & 0xff)};
                            framed->insert(framed->begin(), size, size + 2);
                            asio::async_write(
                                *socket, asio::buffer(*framed),
                                [this, socket, framed](asio::error_code error, std::size_t) {
                                    if (!error) serve(socket);
                                });
                        });
                    });
            });
    }

    asio::io_context& io_;
    const Knobs knobs_;
    udp::socket udp_;
    tcp::acceptor tcp_;
    std::array<std::uint8_t, 65536> buffer_{};
    udp::endpoint client_;
};

// HTTP/1.1 only: a client that offers h2 as well gets http/1.1.
int selectHttp11(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                 unsigned int inLength, void*) {
    static constexpr unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, kHttp11, sizeof kHttp11, in, inLength) !=
        OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

// DNS-over-HTTPS: one coroutine per connection, its requests one after another.
class DohServer {
public:
    DohServer(asio::io_context& io, const Knobs& knobs)
        : io_(io),
          knobs_(knobs),
          tls_(asio::ssl::context::tls_server),
          acceptor_(io, tcp::endpoint(knobs.bind, knobs.port)) {
        const std::string certs = NIMBRA_DNS_STANDIN_CERT_DIR;
        tls_.use_certificate_chain_file(certs + "/server.pem");
        tls_.use_private_key_file(certs + "/server.key", asio::ssl::context::pem);
        SSL_CTX_set_alpn_select_cb(tls_.native_handle(), selectHttp11, nullptr);
    }

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    void start() { asio::co_spawn(io_, accept(), asio::detached); }

private:
    static constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

    asio::awaitable<void> accept() {
        for (;;) {
            auto [error, socket] = co_await acceptor_.async_accept(kNoThrow);
            if (error == asio::error::operation_aborted) co_return;
            if (!error) asio::co_spawn(io_, serve(std::move(socket)), asio::detached);
        }
    }

    // The Content-Length of a request head; nullopt when it is missing or too big for DNS.
    static std::optional<std::size_t> contentLength(std::string head) {
        for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto at = head.find("\r\ncontent-length:");
        if (at == std::string::npos) return std::nullopt;
        const unsigned long length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
        if (length > 65535) return std::nullopt;
        return length;
    }

    asio::awaitable<void> serve(tcp::socket socket) {
        asio::ssl::stream<tcp::socket> stream(std::move(socket), tls_);
        auto [handshakeError] =
            co_await stream.async_handshake(asio::ssl::stream_base::server, kNoThrow);
        if (handshakeError) co_return;
        std::string inbound;
        for (;;) {
            auto [headError, headSize] = co_await asio::async_read_until(
                stream, asio::dynamic_buffer(inbound, 1 << 16), "\r\n\r\n", kNoThrow);
            if (headError) co_return;
            const auto length = contentLength(inbound.substr(0, headSize));
            inbound.erase(0, headSize);
            if (!length) co_return;
            if (inbound.size() < *length) {
                const std::size_t have = inbound.size();
                inbound.resize(*length);
                auto [bodyError, bodySize] = co_await asio::async_read(
                    stream, asio::buffer(inbound.data() + have, *length - have), kNoThrow);
                if (bodyError) co_return;
            }
            const Message query(inbound.begin(),
                                inbound.begin() + static_cast<std::ptrdiff_t>(*length));
            inbound.erase(0, *length);
            if (knobs_.drop) continue;
            if (knobs_.delay.count() > 0) {
                asio::steady_timer timer(io_, knobs_.delay);
                co_await timer.async_wait(kNoThrow);
            }
            const auto answer = answerTo(query.data(), query.size(), knobs_, false);
            std::string response =
                answer ? "HTTP/1.1 200 OK\r\nContent-Type: application/dns-message\r\n"
                       : "HTTP/1.1 400 Bad Request\r\n";
            response +=
                "Content-Length: " + std::to_string(answer ? answer->size() : 0) + "\r\n\r\n";
            if (answer) response.append(answer->begin(), answer->end());
            auto [writeError, written] =
                co_await asio::async_write(stream, asio::buffer(response), kNoThrow);
            if (writeError) co_return;
        }
    }

    asio::io_context& io_;
    const Knobs knobs_;
    asio::ssl::context tls_;
    tcp::acceptor acceptor_;
};

}  // namespace

int main(int argc, char** argv) {
    const Knobs knobs = parseKnobs(argc, argv);
    if (knobs.exitWithParent) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() == 1) return 1;
    }
    try {
        asio::io_context io(1);
        std::optional<Server> server;
        std::optional<DohServer> doh;
        std::uint16_t port = 0;
        if (knobs.doh) {
            port = doh.emplace(io, knobs).port();
            doh->start();
        } else {
            port = server.emplace(io, knobs).port();
            server->start();
        }
        std::printf("listening port=%u\n", static_cast<unsigned>(port));
        std::fflush(stdout);
        io.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "dns-standin: %s\n", error.what());
        return 1;
    }
    return 0;
}
