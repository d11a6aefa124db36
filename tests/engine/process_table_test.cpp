#include "engine/process_table.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/lsof_process_table.hpp"
#include "engine/proc_process_table.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using procfs::TcpListener;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

void writeFile(const fs::path& path, const std::string& content) {
    ASSERT_TRUE(std::ofstream(path, std::ios::binary) << content) << path;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// /proc/net/tcp{,6} content as the kernel prints it.

const std::string kTcpHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";
const std::string kTcp6Header =
    "  sl  local_address                         remote_address                        st tx_queue "
    "rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

std::string tcpRow(int slot, const std::string& local, const std::string& state,
                   std::uint64_t inode) {
    const std::string remote = local.size() > 13 ? std::string(32, '0') + ":0000" : "00000000:0000";
    return "   " + std::to_string(slot) + ": " + local + " " + remote + " " + state +
           " 00000000:00000000 00:00000000 00000000  1000        0 " + std::to_string(inode) +
           " 1 0000000000000000 100 0 0 10 0\n";
}

constexpr const char* kListen = "0A";
constexpr const char* kEstablished = "01";
constexpr const char* kTimeWait = "06";

TEST(ProcProcessTableParsing, DecodesHexAddressesAsLittleEndianWords) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"0100007F", "127.0.0.1"},
        {"00000000", "0.0.0.0"},
        {"0101A8C0", "192.168.1.1"},
        {"0101a8c0", "192.168.1.1"},
        {"00000000000000000000000001000000", "::1"},
        {"00000000000000000000000000000000", "::"},
        {"0000000000000000FFFF00000100007F", "::ffff:127.0.0.1"},
        {"000080FE00000000FF0000005634120A", "fe80::ff:a12:3456"},
        // Malformed: empty, too short, not hex, a prefix, neither 8 nor 32 digits.
        {"", std::nullopt},
        {"0100007", std::nullopt},
        {"0100007G", std::nullopt},
        {"0x00007F", std::nullopt},
        {std::string(16, '0'), std::nullopt}};
    for (const auto& [hex, address] : cases) {
        EXPECT_EQ(procfs::decodeHexAddress(hex), address) << hex;
    }
}

TEST(ProcProcessTableParsing, KeepsListeningRowsOfThePortOnly) {
    const std::string table = kTcpHeader +                                      //
                              tcpRow(0, "0100007F:1F90", kListen, 1001) +       // wanted
                              tcpRow(1, "0100007F:1F90", kEstablished, 1002) +  // not listening
                              tcpRow(2, "0100007F:1F91", kListen, 1003) +       // port 8081
                              "   3: garbage\n" +                               //
                              tcpRow(4, "00000000:1F90", kListen, 1004) +       // wanted
                              tcpRow(5, "00000000:1F90", kListen, 0) +          // no inode
                              tcpRow(6, "0100007F:1f90", "0a", 1006);           // lower case
    EXPECT_THAT(
        procfs::parseTcpListeners(table, 8080),
        ElementsAre(TcpListener{1001, "127.0.0.1", 8080}, TcpListener{1004, "0.0.0.0", 8080},
                    TcpListener{1006, "127.0.0.1", 8080}));
    EXPECT_THAT(procfs::parseTcpListeners(table, 8081),
                ElementsAre(TcpListener{1003, "127.0.0.1", 8081}));
    EXPECT_THAT(procfs::parseTcpListeners(table, 9999), IsEmpty());
    EXPECT_THAT(procfs::parseTcpListeners(table, 0), IsEmpty());
    EXPECT_THAT(procfs::parseTcpListeners("", 8080), IsEmpty());
}

TEST(ProcProcessTableParsing, ReadsSocketInodesFromFdLinks) {
    const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
        {"socket:[12345]", 12345u},     {"socket:[18446744073709551615]", 18446744073709551615u},
        {"pipe:[12345]", std::nullopt}, {"socket:[]", std::nullopt},
        {"socket:[12a]", std::nullopt}, {"socket:[-1]", std::nullopt},
        {"socket:[12", std::nullopt},   {"/dev/null", std::nullopt}};
    for (const auto& [link, inode] : cases) EXPECT_EQ(procfs::socketInode(link), inode) << link;
}

// A hand-made /proc tree. addProcess() makes a process directory whose fd entries are symlinks to
// the given targets, named 0, 1, 2, ...
void addProcess(const fs::path& root, pid_t pid, const std::string& comm,
                const std::string& cmdline, const std::vector<std::string>& fdTargets) {
    const fs::path dir = root / std::to_string(pid);
    fs::create_directories(dir / "fd");
    writeFile(dir / "comm", comm + "\n");
    writeFile(dir / "cmdline", cmdline);
    for (size_t fd = 0; fd < fdTargets.size(); ++fd)
        fs::create_symlink(fdTargets[fd], dir / "fd" / std::to_string(fd));
}

class ProcProcessTableFakeTree : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root() / "net");
        writeFile(root() / "net" / "tcp",
                  kTcpHeader + tcpRow(0, "0100007F:1F90", kListen, 1001) +  // 127.0.0.1:8080
                      tcpRow(1, "0100007F:1F90", kEstablished, 1002) +
                      tcpRow(2, "0100007F:1F91", kListen, 1003) +  // 127.0.0.1:8081
                      tcpRow(3, "0100007F:1F92", kListen, 1004));  // :8082, owner unseen
        writeFile(root() / "net" / "tcp6",
                  kTcp6Header + tcpRow(0, "00000000000000000000000001000000:1F90", kListen, 2001) +
                      tcpRow(1, "00000000000000000000000000000000:1F90", kTimeWait, 2002));

        addProcess(root(), 300, "usque",
                   "/opt/nimbra/usque\0socks\0-b\0"
                   "127.0.0.1\0-p\0"
                   "8080\0"s,
                   {"/dev/null", "pipe:[77]", "socket:[1001]", "socket:[1001]"});
        addProcess(root(), 42, "other", "other\0"s, {"socket:[2001]", "socket:[999]"});
        addProcess(root(), 500, "client", "client\0--no-trailing-nul"s, {"socket:[1002]"});
        addProcess(root(), 600, "neighbour", "retitled daemon\0\0\0\0"s, {"socket:[1003]"});

        // Process directories that cannot be walked: "fd" is no directory, or leads nowhere.
        fs::create_directories(root() / "700");
        writeFile(root() / "700" / "fd", "socket:[1001]");
        writeFile(root() / "700" / "cmdline", "");  // as a kernel thread has
        fs::create_directories(root() / "800");
        fs::create_symlink(root() / "gone", root() / "800" / "fd");
        // Entries that are no process at all.
        fs::create_directory_symlink(root() / "300", root() / "self");
        fs::create_directories(root() / "12abc" / "fd");
        fs::create_symlink("socket:[1001]", root() / "12abc" / "fd" / "0");
    }

    const fs::path& root() const { return dir_.path(); }

    TempDir dir_;
};

TEST_F(ProcProcessTableFakeTree, FindsListenerOwnersThroughFdLinksWithOrWithoutTheIpv6Table) {
    ProcProcessTable table(root());
    const struct {
        int port;
        std::vector<pid_t> pids;
        std::string snapshot;
    } cases[] = {// IPv4 and IPv6 listeners; 500 only holds a connection to the port.
                 {8080, {42, 300}, "usque 300 127.0.0.1:8080 | other 42 ::1:8080"},
                 {8081, {600}, "neighbour 600 127.0.0.1:8081"},
                 {8082, {}, "? ? 127.0.0.1:8082"},  // a listener without a visible owner
                 {9999, {}, "(none)"},
                 {0, {}, "(none)"},
                 {70000, {}, "(none)"}};
    for (const auto& [port, pids, snapshot] : cases) {
        EXPECT_EQ(table.listenerPids(port), pids) << port;
        EXPECT_EQ(table.listenerSnapshot(port), snapshot) << port;
    }

    fs::remove(root() / "net" / "tcp6");  // a kernel without IPv6
    EXPECT_EQ(table.listenerPids(8080), std::vector<pid_t>{300});
    fs::remove(root() / "net" / "tcp");
    EXPECT_THAT(table.listenerPids(8080), IsEmpty());
    EXPECT_EQ(table.listenerSnapshot(8080), "(none)");
}

TEST_F(ProcProcessTableFakeTree, SkipsProcessDirectoriesItCannotRead) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every directory";
    addProcess(root(), 900, "hidden", "hidden", {"socket:[1001]"});
    fs::permissions(root() / "900" / "fd", fs::perms::none);
    EXPECT_THAT(ProcProcessTable(root()).listenerPids(8080), ElementsAre(42, 300));
    fs::permissions(root() / "900" / "fd", fs::perms::owner_all);  // so the tree can be removed
}

TEST_F(ProcProcessTableFakeTree, ReadsCommandLinesJoinedBySpaces) {
    ProcProcessTable table(root());
    EXPECT_EQ(table.processArgs(300), "/opt/nimbra/usque socks -b 127.0.0.1 -p 8080");
    EXPECT_EQ(table.processArgs(42), "other");
    EXPECT_EQ(table.processArgs(500), "client --no-trailing-nul");
    EXPECT_EQ(table.processArgs(600), "retitled daemon");
    for (const pid_t none : {700, 4711, 0, -1}) EXPECT_EQ(table.processArgs(none), "") << none;
}

// The real /proc, with sockets of our own. (The engine tests read the stand-in's command line.)
TEST(ProcProcessTableLive, TheSystemTableFindsOurOwnListenerUntilItClosesAndOurCommandLine) {
    ProcessTable& table = ProcessTable::system();
    EXPECT_EQ(&table, &ProcessTable::system());
    EXPECT_NE(dynamic_cast<ProcProcessTable*>(&table), nullptr);
    EXPECT_THAT(table.processArgs(::getpid()), HasSubstr("test_engine"));

    asio::io_context io;
    for (const std::string address : {"127.0.0.1", "::1"}) {
        std::optional<asio::ip::tcp::acceptor> acceptor;
        try {
            acceptor.emplace(io, asio::ip::tcp::endpoint(asio::ip::make_address(address), 0));
        } catch (const std::system_error& error) {
            EXPECT_EQ(address, "::1") << error.what();  // only IPv6 may be missing here
            continue;
        }
        const int port = acceptor->local_endpoint().port();
        EXPECT_THAT(table.listenerPids(port), Contains(::getpid())) << address;
        EXPECT_THAT(table.listenerSnapshot(port), HasSubstr(" " + std::to_string(::getpid()) + " " +
                                                            address + ":" + std::to_string(port)));
        acceptor->close();
        EXPECT_THAT(table.listenerPids(port), Not(Contains(::getpid()))) << address;
    }
}

// lsof and ps, played by the scripts in fake_tools.
const std::string kFakeTools = std::string(NIMBRA_SOURCE_DIR) + "/tests/engine/fake_tools";

class LsofProcessTableTest : public ::testing::Test {
protected:
    LsofProcessTable table_{{kFakeTools + "/lsof", kFakeTools + "/ps"}};
    TempDir dir_;
    const fs::path lsofArgs_ = dir_ / "lsof-args";
    const fs::path terse_ = dir_ / "terse";
    const fs::path listing_ = dir_ / "listing";
    const fs::path psArgs_ = dir_ / "ps-args";
    const fs::path psOutput_ = dir_ / "ps-output";

    ScopedEnv lsofArgsEnv_{"NIMBRA_FAKE_LSOF_ARGS", lsofArgs_.string()};
    ScopedEnv terseEnv_{"NIMBRA_FAKE_LSOF_TERSE", terse_.string()};
    ScopedEnv listingEnv_{"NIMBRA_FAKE_LSOF_LISTING", listing_.string()};
    ScopedEnv psArgsEnv_{"NIMBRA_FAKE_PS_ARGS", psArgs_.string()};
    ScopedEnv psOutputEnv_{"NIMBRA_FAKE_PS_OUTPUT", psOutput_.string()};
};

TEST_F(LsofProcessTableTest, ParsesPidsInOrderAndFailingOrMissingToolsMeanNobodyAndUnknown) {
    writeFile(terse_, "4242\n  17 \n\nnot-a-pid\n12abc\n99999999999\n-3\n0\n4242\r\n8\n");
    EXPECT_THAT(table_.listenerPids(8080), ElementsAre(4242, 17, 8));
    EXPECT_EQ(readFile(lsofArgs_), "-nP\n-iTCP:8080\n-sTCP:LISTEN\n-t\n");

    ScopedEnv exit("NIMBRA_FAKE_LSOF_EXIT", "1");
    ScopedEnv stderrText("NIMBRA_FAKE_LSOF_STDERR", "lsof: status error");
    EXPECT_THAT(table_.listenerPids(8080), IsEmpty());

    EXPECT_EQ(LsofProcessTable().tools().lsof, "/usr/sbin/lsof");  // the defaults
    EXPECT_EQ(LsofProcessTable().tools().ps, "/bin/ps");
    LsofProcessTable table({(dir_ / "no-lsof").string(), (dir_ / "no-ps").string()});
    EXPECT_THAT(table.listenerPids(8080), IsEmpty());
    EXPECT_EQ(table.listenerSnapshot(8080), "(lsof failed)");
    EXPECT_EQ(table.processArgs(42), "");
}

TEST_F(LsofProcessTableTest, SnapshotJoinsTheListingOnOneLineWhateverTheExitStatus) {
    writeFile(listing_,
              "\nCOMMAND   PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n"
              "usque   42 me    7u  IPv4 0x1      0t0  TCP 127.0.0.1:8080 (LISTEN)\n"
              "usque   42 me    8u  IPv6 0x2      0t0  TCP [::1]:8080 (LISTEN)\n\n");
    EXPECT_EQ(table_.listenerSnapshot(8080),
              "COMMAND   PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME | "
              "usque   42 me    7u  IPv4 0x1      0t0  TCP 127.0.0.1:8080 (LISTEN) | "
              "usque   42 me    8u  IPv6 0x2      0t0  TCP [::1]:8080 (LISTEN)");
    EXPECT_EQ(readFile(lsofArgs_), "-nP\n-iTCP:8080\n-sTCP:LISTEN\n");

    ScopedEnv exit("NIMBRA_FAKE_LSOF_EXIT", "1");
    writeFile(listing_, "usque 42\n");
    EXPECT_EQ(table_.listenerSnapshot(8080), "usque 42");
    writeFile(listing_, " \n\t\n");
    EXPECT_EQ(table_.listenerSnapshot(8080), "(none)");
    fs::remove(listing_);
    EXPECT_EQ(table_.listenerSnapshot(8080), "(none)");
}

TEST_F(LsofProcessTableTest, ReturnsPsOutputUntrimmedUnlessPsFailsOrItIsNotUtf8) {
    writeFile(psOutput_, "  /opt/nimbra/usque socks -b 127.0.0.1 -p 8080 \n");
    EXPECT_EQ(table_.processArgs(42), "  /opt/nimbra/usque socks -b 127.0.0.1 -p 8080 \n");
    EXPECT_EQ(readFile(psArgs_), "-p\n42\n-o\nargs=\n");
    EXPECT_EQ(table_.processArgs(0), "");

    writeFile(psOutput_, "us\xffque\n");
    EXPECT_EQ(table_.processArgs(42), "");
    writeFile(psOutput_, "usque\n");
    ScopedEnv exit("NIMBRA_FAKE_PS_EXIT", "1");
    EXPECT_EQ(table_.processArgs(42), "");
}

}  // namespace
}  // namespace nimbra
