#include "proxy/name_resolver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <functional>

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using asio::ip::address;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

// A name server on loopback that reads every query and, when told to, answers each A question
// with 127.0.0.2; otherwise it answers nothing.
class TestNameServer {
public:
    TestNameServer(asio::io_context& io, bool answers)
        : socket_(io, udp::endpoint(asio::ip::address_v4::loopback(), 0)), answers_(answers) {
        receive();
    }
    udp::endpoint endpoint() const { return socket_.local_endpoint(); }
    int queries() const { return queries_; }
    void close() { socket_.close(); }

private:
    void receive() {
        socket_.async_receive_from(asio::buffer(buffer_), peer_,
                                   [this](asio::error_code error, std::size_t size) {
                                       if (error) return;
                                       ++queries_;
                                       if (answers_) answer(std::string(buffer_.data(), size));
                                       receive();
                                   });
    }

    // The query's header and question, then one answer that points back at the question's name.
    void answer(std::string query) {
        std::size_t end = 12;
        while (end < query.size() && query[end] != 0)
            end += 1 + static_cast<unsigned char>(query[end]);
        end += 5;  // the root label, type and class
        if (end > query.size() || query.substr(end - 4, 2) != std::string("\0\1", 2)) return;
        std::string reply = query.substr(0, end);
        reply.replace(2, 10, std::string("\x81\x80\0\1\0\1\0\0\0\0", 10));
        reply += std::string("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\x7f\0\0\2", 16);
        socket_.send_to(asio::buffer(reply), peer_);
    }

    udp::socket socket_;
    bool answers_;
    udp::endpoint peer_;
    std::array<char, 1500> buffer_{};
    int queries_ = 0;
};

struct Outcome {
    bool done = false;
    int order = 0;  // 1 for the first lookup to end, 2 for the next...
    std::exception_ptr error;
    std::vector<address> addresses;
};

bool contains(const std::vector<address>& addresses, const char* wanted) {
    return std::count(addresses.begin(), addresses.end(), asio::ip::make_address(wanted)) == 1;
}

class NameResolverTest : public ::testing::Test {
protected:
    void start(Outcome& outcome, std::string host, AddressFamilies families,
               Clock::time_point deadline = Clock::time_point::max(),
               asio::cancellation_slot slot = {}) {
        auto done = [this, &outcome](std::exception_ptr error, std::vector<address> addresses) {
            outcome = {true, ++ended_, error, std::move(addresses)};
        };
        asio::co_spawn(io_, resolver_.lookup(std::move(host), families, deadline),
                       asio::bind_cancellation_slot(slot, std::move(done)));
    }

    // Drives the loop until `done` holds; the limit only keeps a broken build from hanging.
    bool runUntil(const std::function<bool()>& done) {
        auto giveUp = Clock::now() + 20s;
        while (!done() && Clock::now() < giveUp) io_.run_one_for(50ms);
        return done();
    }

    // Nothing of an ended lookup may stay behind on the loop: no socket wait, no retry timer.
    void expectNothingLeft() {
        server_.close();
        io_.poll();
        EXPECT_TRUE(io_.stopped());
    }

    asio::io_context io_;
    TestNameServer server_{io_, false};
    NameResolver resolver_{NameResolver::Options{{server_.endpoint()}}};
    int ended_ = 0;
};

// The deadline test below also resolves "localhost" and "127.0.0.1" for IPv4 alone.
TEST_F(NameResolverTest, HostsFileNamesAndLiteralsNeedNoNameServer) {
    const struct {
        std::string host;
        AddressFamilies families;
        const char* expected;  // among the answers; nullptr for none at all
    } cases[] = {
        {"localhost", AddressFamilies::any, "127.0.0.1"},
        {"::1", AddressFamilies::any, "::1"},
        {"::1", AddressFamilies::ipv4Only, nullptr},
        // Cut at the NUL this would be "localhost"; it must not resolve at all.
        {std::string("localhost\0.example", 18), AddressFamilies::any, nullptr},
    };
    for (const auto& c : cases) {
        Outcome outcome;
        start(outcome, c.host, c.families);
        ASSERT_TRUE(runUntil([&] { return outcome.done; })) << c.host;
        EXPECT_FALSE(outcome.error) << c.host;
        EXPECT_TRUE(c.expected ? contains(outcome.addresses, c.expected)
                               : outcome.addresses.empty())
            << c.host;
    }
    EXPECT_EQ(server_.queries(), 0);
}

TEST_F(NameResolverTest, AnswersFromTheNameServer) {
    TestNameServer answering(io_, true);
    NameResolver resolver(NameResolver::Options{{answering.endpoint()}});
    Outcome outcome;
    asio::co_spawn(io_, resolver.lookup("answered.example", AddressFamilies::ipv4Only),
                   [&](std::exception_ptr error, std::vector<address> addresses) {
                       outcome = {true, 1, error, std::move(addresses)};
                   });
    ASSERT_TRUE(runUntil([&] { return outcome.done; }));
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.addresses, std::vector<address>{asio::ip::make_address("127.0.0.2")});
    answering.close();
    expectNothingLeft();
}

TEST_F(NameResolverTest, UnansweredLookupEndsAtItsDeadlineWhileOthersComplete) {
    const auto limit = 1s;
    const auto started = Clock::now();
    Outcome unanswered, hostsName, literal;
    start(unanswered, "unanswered.example", AddressFamilies::ipv4Only, started + limit);
    start(hostsName, "localhost", AddressFamilies::ipv4Only);
    start(literal, "127.0.0.1", AddressFamilies::ipv4Only);
    ASSERT_TRUE(runUntil([&] { return unanswered.done && hostsName.done && literal.done; }));

    EXPECT_GE(Clock::now() - started, limit);
    EXPECT_GE(server_.queries(), 1);
    EXPECT_TRUE(unanswered.addresses.empty());
    EXPECT_FALSE(unanswered.error);
    EXPECT_TRUE(contains(hostsName.addresses, "127.0.0.1"));
    EXPECT_TRUE(std::all_of(hostsName.addresses.begin(), hostsName.addresses.end(),
                            [](const address& a) { return a.is_v4(); }));
    EXPECT_EQ(literal.addresses, std::vector<address>{asio::ip::make_address("127.0.0.1")});
    EXPECT_LT(hostsName.order, unanswered.order);
    EXPECT_LT(literal.order, unanswered.order);
    expectNothingLeft();
}

TEST_F(NameResolverTest, CancellingTheAwaiterEndsTheLookup) {
    asio::cancellation_signal cancel;
    Outcome outcome;
    start(outcome, "unanswered.example", AddressFamilies::any, Clock::time_point::max(),
          cancel.slot());
    ASSERT_TRUE(runUntil([&] { return server_.queries() >= 1; }));
    ASSERT_FALSE(outcome.done);

    cancel.emit(asio::cancellation_type::terminal);
    io_.poll();  // only what is ready now: the lookup must not wait for anything more
    ASSERT_TRUE(outcome.done);
    EXPECT_FALSE(outcome.error);
    EXPECT_TRUE(outcome.addresses.empty());
    expectNothingLeft();
}

}  // namespace
}  // namespace nimbra
