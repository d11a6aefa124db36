#include "engine/process_table.hpp"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "engine/lsof_process_table.hpp"
#include "engine/proc_process_table.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using procfs::TcpListener;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

std::vector<std::string> readLines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// ---------------------------------------------------------------------------------------------
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

TEST(ProcProcessTableParsing, DecodesIpv4AddressesAsLittleEndianWords) {
    EXPECT_EQ(procfs::decodeHexAddress("0100007F"), "127.0.0.1");
    EXPECT_EQ(procfs::decodeHexAddress("00000000"), "0.0.0.0");
    EXPECT_EQ(procfs::decodeHexAddress("0101A8C0"), "192.168.1.1");
    EXPECT_EQ(procfs::decodeHexAddress("0101a8c0"), "192.168.1.1");
}

TEST(ProcProcessTableParsing, DecodesIpv6AddressesAsFourLittleEndianWords) {
    EXPECT_EQ(procfs::decodeHexAddress("00000000000000000000000001000000"), "::1");
    EXPECT_EQ(procfs::decodeHexAddress("00000000000000000000000000000000"), "::");
    EXPECT_EQ(procfs::decodeHexAddress("0000000000000000FFFF00000100007F"), "::ffff:127.0.0.1");
    EXPECT_EQ(procfs::decodeHexAddress("000080FE00000000FF0000005634120A"), "fe80::ff:a12:3456");
}

TEST(ProcProcessTableParsing, RejectsMalformedAddresses) {
    EXPECT_EQ(procfs::decodeHexAddress(""), std::nullopt);
    EXPECT_EQ(procfs::decodeHexAddress("0100007"), std::nullopt);
    EXPECT_EQ(procfs::decodeHexAddress("0100007G"), std::nullopt);
    EXPECT_EQ(procfs::decodeHexAddress("0x00007F"), std::nullopt);
    EXPECT_EQ(procfs::decodeHexAddress(std::string(16, '0')), std::nullopt);
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

TEST(ProcProcessTableParsing, ReadsIpv6Rows) {
    const std::string table = kTcp6Header +
                              tcpRow(0, "00000000000000000000000001000000:1F90", kListen, 2001) +
                              tcpRow(1, "00000000000000000000000000000000:1F90", kTimeWait, 2002);
    EXPECT_THAT(procfs::parseTcpListeners(table, 8080),
                ElementsAre(TcpListener{2001, "::1", 8080}));
}

TEST(ProcProcessTableParsing, ReadsSocketInodesFromFdLinks) {
    EXPECT_EQ(procfs::socketInode("socket:[12345]"), 12345u);
    EXPECT_EQ(procfs::socketInode("socket:[18446744073709551615]"), 18446744073709551615u);
    EXPECT_EQ(procfs::socketInode("pipe:[12345]"), std::nullopt);
    EXPECT_EQ(procfs::socketInode("socket:[]"), std::nullopt);
    EXPECT_EQ(procfs::socketInode("socket:[12a]"), std::nullopt);
    EXPECT_EQ(procfs::socketInode("socket:[-1]"), std::nullopt);
    EXPECT_EQ(procfs::socketInode("socket:[12"), std::nullopt);
    EXPECT_EQ(procfs::socketInode("/dev/null"), std::nullopt);
}

TEST(ProcProcessTableParsing, JoinsCommandLineArguments) {
    using namespace std::string_literals;
    // Literals break after a \0 followed by a digit, which would otherwise read as octal.
    EXPECT_EQ(procfs::joinCmdline("usque\0socks\0-b\0"
                                  "127.0.0.1\0"s),
              "usque socks -b 127.0.0.1");
    EXPECT_EQ(procfs::joinCmdline("a\0b"s), "a b");
    EXPECT_EQ(procfs::joinCmdline("retitled daemon\0\0\0\0"s), "retitled daemon");
    EXPECT_EQ(procfs::joinCmdline(""), "");
}

// ---------------------------------------------------------------------------------------------
// A hand-made /proc tree.

class FakeProc {
public:
    const fs::path& root() const { return dir_.path(); }

    void net(const std::string& table, const std::string& content) {
        fs::create_directories(root() / "net");
        writeFile(root() / "net" / table, content);
    }

    // A process whose fd entries are symlinks to the given targets, named 0, 1, 2, ...
    fs::path process(pid_t pid, const std::string& comm, const std::string& cmdline,
                     const std::vector<std::string>& fdTargets) {
        const fs::path dir = root() / std::to_string(pid);
        fs::create_directories(dir / "fd");
        writeFile(dir / "comm", comm + "\n");
        writeFile(dir / "cmdline", cmdline);
        for (size_t fd = 0; fd < fdTargets.size(); ++fd) {
            fs::create_symlink(fdTargets[fd], dir / "fd" / std::to_string(fd));
        }
        return dir;
    }

private:
    TempDir dir_;
};

// Restores a directory's permissions, so the temporary tree can be removed afterwards.
class PermissionsRestorer {
public:
    explicit PermissionsRestorer(fs::path path) : path_(std::move(path)) {}
    ~PermissionsRestorer() {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, ignored);
    }

private:
    fs::path path_;
};

class ProcProcessTableFakeTree : public ::testing::Test {
protected:
    void SetUp() override {
        using namespace std::string_literals;
        proc_.net("tcp", kTcpHeader +                                     //
                             tcpRow(0, "0100007F:1F90", kListen, 1001) +  // 127.0.0.1:8080
                             tcpRow(1, "0100007F:1F90", kEstablished, 1002) +
                             tcpRow(2, "0100007F:1F91", kListen, 1003) +  // 127.0.0.1:8081
                             tcpRow(3, "0100007F:1F92", kListen, 1004));  // 127.0.0.1:8082
        proc_.net("tcp6", kTcp6Header +
                              tcpRow(0, "00000000000000000000000001000000:1F90", kListen, 2001) +
                              tcpRow(1, "00000000000000000000000000000000:1F90", kTimeWait, 2002));

        proc_.process(300, "usque",
                      "/opt/nimbra/usque\0socks\0-b\0"
                      "127.0.0.1\0-p\0"
                      "8080\0"s,
                      {"/dev/null", "pipe:[77]", "socket:[1001]", "socket:[1001]"});
        proc_.process(42, "other", "other\0"s, {"socket:[2001]", "socket:[999]"});
        proc_.process(500, "client", "client\0"s, {"socket:[1002]"});
        proc_.process(600, "neighbour", "neighbour\0"s, {"socket:[1003]"});
        // Nobody owns 1004: a listener of another user, invisible to us.

        // Process directories that cannot be walked: "fd" is no directory, or leads nowhere.
        const fs::path notADirectory = proc_.root() / "700";
        fs::create_directories(notADirectory);
        writeFile(notADirectory / "fd", "socket:[1001]");
        const fs::path dangling = proc_.root() / "800";
        fs::create_directories(dangling);
        fs::create_symlink(proc_.root() / "gone", dangling / "fd");
        // Entries that are no process at all.
        fs::create_directory_symlink(proc_.root() / "300", proc_.root() / "self");
        fs::create_directories(proc_.root() / "12abc" / "fd");
        fs::create_symlink("socket:[1001]", proc_.root() / "12abc" / "fd" / "0");
    }

    FakeProc proc_;
};

TEST_F(ProcProcessTableFakeTree, FindsOwnersOfIpv4AndIpv6ListenersThroughFdLinks) {
    ProcProcessTable table(proc_.root());
    EXPECT_THAT(table.listenerPids(8080), ElementsAre(42, 300));
    EXPECT_THAT(table.listenerPids(8081), ElementsAre(600));
}

TEST_F(ProcProcessTableFakeTree, IgnoresOtherPortsAndSocketsThatDoNotListen) {
    ProcProcessTable table(proc_.root());
    EXPECT_THAT(table.listenerPids(9999), IsEmpty());
    EXPECT_THAT(table.listenerPids(8080), Not(Contains(500)));
    EXPECT_THAT(table.listenerPids(8080), Not(Contains(600)));
    EXPECT_THAT(table.listenerPids(0), IsEmpty());
    EXPECT_THAT(table.listenerPids(70000), IsEmpty());
}

TEST_F(ProcProcessTableFakeTree, ListenerWithoutVisibleOwnerHasNoPid) {
    ProcProcessTable table(proc_.root());
    EXPECT_THAT(table.listenerPids(8082), IsEmpty());
    EXPECT_EQ(table.listenerSnapshot(8082), "? ? 127.0.0.1:8082");
}

TEST_F(ProcProcessTableFakeTree, SkipsProcessDirectoriesItCannotRead) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every directory";
    const fs::path hidden = proc_.process(900, "hidden", "hidden\0", {"socket:[1001]"});
    PermissionsRestorer restore(hidden / "fd");
    fs::permissions(hidden / "fd", fs::perms::none);

    ProcProcessTable table(proc_.root());
    EXPECT_THAT(table.listenerPids(8080), ElementsAre(42, 300));
}

TEST_F(ProcProcessTableFakeTree, SnapshotHasOneEntryPerOwnerAndAddress) {
    ProcProcessTable table(proc_.root());
    EXPECT_EQ(table.listenerSnapshot(8080), "usque 300 127.0.0.1:8080 | other 42 ::1:8080");
    EXPECT_EQ(table.listenerSnapshot(8081), "neighbour 600 127.0.0.1:8081");
    EXPECT_EQ(table.listenerSnapshot(9999), "(none)");
}

TEST_F(ProcProcessTableFakeTree, ReadsCommandLines) {
    ProcProcessTable table(proc_.root());
    EXPECT_EQ(table.processArgs(300), "/opt/nimbra/usque socks -b 127.0.0.1 -p 8080");
    EXPECT_EQ(table.processArgs(42), "other");
    EXPECT_EQ(table.processArgs(4711), "");
    EXPECT_EQ(table.processArgs(0), "");
    EXPECT_EQ(table.processArgs(-1), "");
}

TEST(ProcProcessTableFakeTreeWithoutIpv6, UsesTheIpv4TableAlone) {
    FakeProc proc;
    proc.net("tcp", kTcpHeader + tcpRow(0, "0100007F:1F90", kListen, 1001));
    proc.process(300, "usque", "usque", {"socket:[1001]"});
    ProcProcessTable table(proc.root());
    EXPECT_THAT(table.listenerPids(8080), ElementsAre(300));
}

TEST(ProcProcessTableFakeTreeWithoutIpv6, NothingListensWithoutTables) {
    FakeProc proc;
    ProcProcessTable table(proc.root());
    EXPECT_THAT(table.listenerPids(8080), IsEmpty());
    EXPECT_EQ(table.listenerSnapshot(8080), "(none)");
}

// ---------------------------------------------------------------------------------------------
// The real /proc, with a socket of our own.

class ListeningSocket {
public:
    // Listens on the loopback address of the family, on a port the kernel picks. valid() is
    // false when the family is not available here.
    explicit ListeningSocket(int family) {
        UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.valid()) return;
        sockaddr_storage address{};
        socklen_t length = 0;
        if (family == AF_INET6) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            length = sizeof *v6;
        } else {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *v4;
        }
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return;
        if (::listen(fd.get(), 4) != 0) return;
        if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
        port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        fd_ = std::move(fd);
    }

    bool valid() const { return fd_.valid(); }
    int port() const { return port_; }
    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
    int port_ = 0;
};

TEST(ProcProcessTableLive, FindsOurOwnIpv4Listener) {
    ListeningSocket socket(AF_INET);
    ASSERT_TRUE(socket.valid()) << "cannot listen on 127.0.0.1: " << std::strerror(errno);
    ProcProcessTable table;
    EXPECT_THAT(table.listenerPids(socket.port()), Contains(::getpid()));
    EXPECT_THAT(table.listenerSnapshot(socket.port()),
                HasSubstr(" " + std::to_string(::getpid()) +
                          " 127.0.0.1:" + std::to_string(socket.port())));

    socket.close();
    EXPECT_THAT(table.listenerPids(socket.port()), Not(Contains(::getpid())));
}

TEST(ProcProcessTableLive, FindsOurOwnIpv6Listener) {
    ListeningSocket socket(AF_INET6);
    if (!socket.valid()) GTEST_SKIP() << "no IPv6 loopback here";
    ProcProcessTable table;
    EXPECT_THAT(table.listenerPids(socket.port()), Contains(::getpid()));
    EXPECT_THAT(
        table.listenerSnapshot(socket.port()),
        HasSubstr(" " + std::to_string(::getpid()) + " ::1:" + std::to_string(socket.port())));
}

TEST(ProcProcessTableLive, ReadsCommandLines) {
    ProcProcessTable table;
    EXPECT_THAT(table.processArgs(::getpid()), HasSubstr("test_engine"));

    Subprocess::Options options;
    options.argv = {"sleep", "30"};
    options.output = Subprocess::Output::discard;
    Subprocess child = Subprocess::start(std::move(options));
    // start() returns while the kernel may still be setting up the new program, and until then
    // its command line reads empty.
    std::string args;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         args.empty() && std::chrono::steady_clock::now() < deadline;) {
        args = table.processArgs(child.pid());
        if (args.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(args, "sleep 30");
}

TEST(ProcessTableSystem, IsOneSharedProcTableOnLinux) {
    ProcessTable& table = ProcessTable::system();
    EXPECT_EQ(&table, &ProcessTable::system());
#ifdef __linux__
    EXPECT_NE(dynamic_cast<ProcProcessTable*>(&table), nullptr);
#else
    EXPECT_NE(dynamic_cast<LsofProcessTable*>(&table), nullptr);
#endif
}

// ---------------------------------------------------------------------------------------------
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
    ScopedEnv lsofStderrEnv_{"NIMBRA_FAKE_LSOF_STDERR", std::nullopt};
    ScopedEnv lsofExitEnv_{"NIMBRA_FAKE_LSOF_EXIT", std::nullopt};
    ScopedEnv psArgsEnv_{"NIMBRA_FAKE_PS_ARGS", psArgs_.string()};
    ScopedEnv psOutputEnv_{"NIMBRA_FAKE_PS_OUTPUT", psOutput_.string()};
    ScopedEnv psExitEnv_{"NIMBRA_FAKE_PS_EXIT", std::nullopt};
};

TEST_F(LsofProcessTableTest, DefaultsToTheSystemTools) {
    const LsofProcessTable table;
    EXPECT_EQ(table.tools().lsof, "/usr/sbin/lsof");
    EXPECT_EQ(table.tools().ps, "/bin/ps");
}

TEST_F(LsofProcessTableTest, ParsesPidsInOutputOrder) {
    writeFile(terse_, "4242\n  17 \n\nnot-a-pid\n12abc\n99999999999\n-3\n0\n4242\r\n8\n");
    EXPECT_THAT(table_.listenerPids(8080), ElementsAre(4242, 17, 8));
    EXPECT_THAT(readLines(lsofArgs_), ElementsAre("-nP", "-iTCP:8080", "-sTCP:LISTEN", "-t"));
}

TEST_F(LsofProcessTableTest, ExitFailureMeansNobody) {
    writeFile(terse_, "4242\n");
    ScopedEnv exit("NIMBRA_FAKE_LSOF_EXIT", "1");
    ScopedEnv stderrText("NIMBRA_FAKE_LSOF_STDERR", "lsof: status error");
    EXPECT_THAT(table_.listenerPids(8080), IsEmpty());
}

TEST_F(LsofProcessTableTest, MissingToolsMeanNobodyAndUnknown) {
    LsofProcessTable table({(dir_ / "no-lsof").string(), (dir_ / "no-ps").string()});
    EXPECT_THAT(table.listenerPids(8080), IsEmpty());
    EXPECT_EQ(table.listenerSnapshot(8080), "(lsof failed)");
    EXPECT_EQ(table.processArgs(42), "");
}

TEST_F(LsofProcessTableTest, SnapshotJoinsTheListingOnOneLine) {
    writeFile(listing_,
              "\nCOMMAND   PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n"
              "usque   42 me    7u  IPv4 0x1      0t0  TCP 127.0.0.1:8080 (LISTEN)\n"
              "usque   42 me    8u  IPv6 0x2      0t0  TCP [::1]:8080 (LISTEN)\n\n");
    EXPECT_EQ(table_.listenerSnapshot(8080),
              "COMMAND   PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME | "
              "usque   42 me    7u  IPv4 0x1      0t0  TCP 127.0.0.1:8080 (LISTEN) | "
              "usque   42 me    8u  IPv6 0x2      0t0  TCP [::1]:8080 (LISTEN)");
    EXPECT_THAT(readLines(lsofArgs_), ElementsAre("-nP", "-iTCP:8080", "-sTCP:LISTEN"));
}

TEST_F(LsofProcessTableTest, SnapshotOfNobodyIsNone) {
    ScopedEnv exit("NIMBRA_FAKE_LSOF_EXIT", "1");
    EXPECT_EQ(table_.listenerSnapshot(8080), "(none)");
    writeFile(listing_, " \n\t\n");
    EXPECT_EQ(table_.listenerSnapshot(8080), "(none)");
}

TEST_F(LsofProcessTableTest, SnapshotIgnoresTheExitStatus) {
    writeFile(listing_, "usque 42\n");
    ScopedEnv exit("NIMBRA_FAKE_LSOF_EXIT", "1");
    EXPECT_EQ(table_.listenerSnapshot(8080), "usque 42");
}

TEST_F(LsofProcessTableTest, ReturnsPsOutputUntrimmed) {
    writeFile(psOutput_, "  /opt/nimbra/usque socks -b 127.0.0.1 -p 8080 \n");
    EXPECT_EQ(table_.processArgs(42), "  /opt/nimbra/usque socks -b 127.0.0.1 -p 8080 \n");
    EXPECT_THAT(readLines(psArgs_), ElementsAre("-p", "42", "-o", "args="));
}

TEST_F(LsofProcessTableTest, PsFailureOrNonUtf8MeansUnknown) {
    writeFile(psOutput_, "usque\n");
    {
        ScopedEnv exit("NIMBRA_FAKE_PS_EXIT", "1");
        EXPECT_EQ(table_.processArgs(42), "");
    }
    writeFile(psOutput_, "us\xffque\n");
    EXPECT_EQ(table_.processArgs(42), "");
    EXPECT_EQ(table_.processArgs(0), "");
}

}  // namespace
}  // namespace nimbra
