// How usque's output is turned into error hints, and how a pipe is cut into lines. (Which lines
// read as ready: the engine's own test, against the usque stand-in.)

#include "engine/usque_output.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <optional>
#include <thread>

#include "engine/output_line_reader.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;

TEST(UsqueOutput, HintIsTheNewestErrorLikeLineElseTheLastThree) {
    const struct {
        std::deque<std::string> recent;
        std::string hint;
    } cases[] = {
        {{"dial failed: one", "ok", "Permission denied on tun", "ok 2"},
         "Permission denied on tun"},
        {{"a", "b", "c", "d"}, "b | c | d"},
        {{"only"}, "only"},
        {{}, "last"},  // nothing remembered: the last line
    };
    for (const auto& c : cases) EXPECT_EQ(errorHint("last", c.recent), c.hint);
}

// Collects what an OutputLineReader hands over from a pipe the test writes to.
struct PipeToReader {
    PipeToReader() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        writeEnd = fds[1];
        reader.emplace(
            UniqueFd(fds[0]), [this](std::string line) { lines.push_back(std::move(line)); },
            [this] { ended.set_value(); });
    }
    void write(std::string_view chunk) {
        ASSERT_EQ(::write(writeEnd, chunk.data(), chunk.size()), ssize_t(chunk.size()));
        std::this_thread::sleep_for(20ms);  // lets the reader take it as a read of its own
    }

    int writeEnd = -1;
    std::vector<std::string> lines;  // touched by the reader's thread until it has ended
    std::promise<void> ended;
    std::optional<OutputLineReader> reader;
};

// An endless line is cut short (its three-byte characters make the cut step back to a character
// boundary), and the next line still arrives whole.
TEST(OutputLineReader, DeliversWholeLinesAcrossReadsAndEveryNewlineKindAndCutsAnEndlessOne) {
    std::string head;
    while (head.size() + 3 <= OutputLineReader::kMaxLineBytes) head += "错";
    std::string endless;
    while (endless.size() < 4 * 1024 * 1024) endless += head;
    PipeToReader pipe;
    pipe.write("Connected to MA");
    pipe.write("SQUE server\r\n  \n\xe8");  // a CJK character split across reads
    pipe.write("\xbf\x9e\xe6\x8e\xa5\xc2\x85next\xe2\x80\xa8");
    pipe.write("\xff\xfe bad bytes\n");
    pipe.write(endless);
    pipe.write("\nlast without newline");
    ::close(pipe.writeEnd);
    ASSERT_EQ(pipe.ended.get_future().wait_for(std::chrono::minutes(30)),
              std::future_status::ready);
    EXPECT_EQ(pipe.lines, (std::vector<std::string>{"Connected to MASQUE server", "连接", "next",
                                                    head, "last without newline"}));
}

TEST(OutputLineReader, StopsWhenDestroyedEvenIfTheWriterLivesOn) {
    PipeToReader pipe;
    auto ended = pipe.ended.get_future();
    pipe.reader.reset();  // would hang here if it waited for the writer
    EXPECT_EQ(ended.wait_for(0ms), std::future_status::timeout);  // and it reported no end
    ::close(pipe.writeEnd);
}

}  // namespace
}  // namespace nimbra
