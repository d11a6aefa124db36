// How usque's output is remembered and turned into error hints, and how a pipe is cut into lines.

#include "engine/usque_output.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "engine/output_line_reader.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;

TEST(UsqueOutput, KeepsTheNewestTwelveAndSpotsReadinessInAnyCase) {
    UsqueOutput output;
    for (int i = 1; i <= 14; ++i) EXPECT_FALSE(output.add("line " + std::to_string(i)));
    EXPECT_EQ(output.recent().size(), 12u);
    EXPECT_EQ(output.recent().front(), "line 3");
    EXPECT_TRUE(output.add("2026/12/06 10:00:00 SUCCESSFULLY CONNECTED TO CLOUDFLARE"));
    EXPECT_TRUE(output.add("Connected to MASQUE server"));
    EXPECT_EQ(output.lastLine(), "Connected to MASQUE server");
}

TEST(UsqueOutput, HintPrefersTheNewestErrorLikeLine) {
    std::deque<std::string> recent{"dial failed: one", "ok", "Permission denied on tun", "ok 2"};
    EXPECT_EQ(errorHint("ok 2", recent), "Permission denied on tun");
    recent = {"a", "b", "c", "d"};
    EXPECT_EQ(errorHint("d", recent), "b | c | d");
    recent = {"only"};
    EXPECT_EQ(errorHint("only", recent), "only");
    EXPECT_EQ(errorHint("last", {}), "last");
}

TEST(OutputLineReader, DeliversWholeLinesAcrossReadsAndEveryNewlineKind) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::mutex mutex;
    std::vector<std::string> lines;
    std::atomic<bool> ended{false};
    {
        OutputLineReader reader(
            UniqueFd(fds[0]),
            [&](std::string line) {
                std::lock_guard lock(mutex);
                lines.push_back(std::move(line));
            },
            [&] { ended = true; });
        auto write = [&](std::string_view chunk) {
            ASSERT_EQ(::write(fds[1], chunk.data(), chunk.size()), ssize_t(chunk.size()));
            std::this_thread::sleep_for(20ms);  // separate reads
        };
        write("Connected to MA");
        write("SQUE server\r\n  \n\xe8");  // a CJK character split across reads
        write("\xbf\x9e\xe6\x8e\xa5\xc2\x85next\xe2\x80\xa8");
        write("\xff\xfe bad bytes\nlast without newline");
        ::close(fds[1]);
        for (int i = 0; i < 100 && !ended; ++i) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(lines, (std::vector<std::string>{"Connected to MASQUE server", "连接", "next",
                                               "last without newline"}));
}

TEST(OutputLineReader, StopsWhenDestroyedEvenIfTheWriterLivesOn) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const auto begin = std::chrono::steady_clock::now();
    {
        OutputLineReader reader(
            UniqueFd(fds[0]), [](std::string) {}, [] {});
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    ::close(fds[1]);
}

}  // namespace
}  // namespace nimbra
