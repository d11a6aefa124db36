// Who listens on a port: the /proc table against a hand-made /proc tree (the real one is read by
// the engine's tests, which find usque by it), and the lsof/ps table against fake_tools' scripts.

#include "system/process_table.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"
#include "system/lsof_process_table.hpp"
#include "system/proc_process_table.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using nimbra::testing::ScopedEnv;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::readFile;
using testing::writeFile;

TEST(ProcProcessTableParsing, DecodesTheKernelsHexAddresses) {
    // Each 32-bit word of the kernel's hex is little-endian. 127.0.0.1, 192.168.1.1 and ::1 are
    // read through the fake /proc tree below.
    EXPECT_EQ(procfs::decodeHexAddress("0000000000000000FFFF00000100007F"), "::ffff:127.0.0.1");
    EXPECT_EQ(procfs::decodeHexAddress("000080FE00000000FF0000005634120A"), "fe80::ff:a12:3456");
    for (const char* bad : {"", "0100007", "0100007G", "0000000000000000"})
        EXPECT_EQ(procfs::decodeHexAddress(bad), std::nullopt) << bad;
}

// One row of /proc/net/tcp{,6}: the fields up to the inode, as the kernel lays them out.
std::string tcpRow(const std::string& local, const std::string& state, int inode) {
    return "   0: " + local + " 00000000:0000 " + state +
           " 00000000:00000000 00:00000000 00000000" + "  1000        0 " + std::to_string(inode) +
           " 1 0000000000000000 100 0 0 10 0\n";
}

// A process directory whose fd entries 0, 1, 2, ... are symlinks to the given targets.
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
        writeFile(root() / "net" / "tcp",
                  "  sl  local_address rem_address   st tx_queue rx_queue ... inode\n" +
                      tcpRow("0100007F:1F90", "0A", 1001) +  // 127.0.0.1:8080
                      tcpRow("0100007F:1F90", "01", 1002) +  // a connection, not a listener
                      tcpRow("0100007F:1F91", "0A", 1003) +  // :8081
                      tcpRow("0101a8c0:1f91", "0a", 1005) +  // lower case, owner unseen
                      tcpRow("0100007F:1F92", "0A", 1004) +  // :8082, owner unseen
                      tcpRow("00000000:1F90", "0A", 0) +     // no inode: nobody's
                      "   3: garbage\n");
        writeFile(root() / "net" / "tcp6",
                  "  sl  local_address ...\n" +
                      tcpRow("00000000000000000000000001000000:1F90", "0A", 2001) +
                      tcpRow("00000000000000000000000000000000:1F90", "06", 2002));

        addProcess(root(), 300, "usque", "/opt/nimbra/usque\0socks\0--http2\0"s,
                   {"/dev/null", "pipe:[77]", "socket:[1001]", "socket:[1001]"});
        addProcess(root(), 42, "other", "other\0"s, {"socket:[2001]", "socket:[999]"});
        addProcess(root(), 500, "client", "client\0--no-trailing-nul"s, {"socket:[1002]"});
        addProcess(root(), 600, "neighbour", "retitled daemon\0\0\0\0"s, {"socket:[1003]"});
        // Entries that cannot be walked or are no process at all.
        writeFile(root() / "700" / "fd", "socket:[1001]");
        writeFile(root() / "700" / "cmdline", "");  // as a kernel thread has
        fs::create_directories(root() / "800");
        fs::create_symlink(root() / "gone", root() / "800" / "fd");
        fs::create_directory_symlink(root() / "300", root() / "self");
        fs::create_directories(root() / "12abc" / "fd");
        fs::create_symlink("socket:[1001]", root() / "12abc" / "fd" / "0");
    }

    const fs::path& root() const { return dir_.path(); }

    testing::TempDir dir_;
};

TEST_F(ProcProcessTableFakeTree, FindsListenerOwnersThroughFdLinksWithOrWithoutTheIpv6Table) {
    ProcProcessTable table(root());
    const struct {
        int port;
        std::vector<pid_t> pids;
        std::string snapshot;
    } cases[] = {{8080, {42, 300}, "usque 300 127.0.0.1:8080 | other 42 ::1:8080"},
                 {8081, {600}, "neighbour 600 127.0.0.1:8081 | ? ? 192.168.1.1:8081"},
                 {8082, {}, "? ? 127.0.0.1:8082"},  // the port is taken all the same
                 {9999, {}, "(none)"},
                 {0, {}, "(none)"},
                 {70000, {}, "(none)"}};
    for (const auto& [port, pids, snapshot] : cases) {
        EXPECT_EQ(table.listenerPids(port), pids) << port;
        EXPECT_EQ(table.listenerSnapshot(port), snapshot) << port;
    }

    fs::remove(root() / "net" / "tcp6");  // a kernel without IPv6
    EXPECT_EQ(table.listenerPids(8080), std::vector<pid_t>{300});
}

TEST_F(ProcProcessTableFakeTree, ReadsCommandLinesAndSkipsProcessesItCannotRead) {
    ProcProcessTable table(root());
    EXPECT_EQ(table.processArgs(300), "/opt/nimbra/usque socks --http2");
    EXPECT_EQ(table.processArgs(500), "client --no-trailing-nul");
    EXPECT_EQ(table.processArgs(600), "retitled daemon");
    for (const pid_t none : {700, 4711, 0, -1}) EXPECT_EQ(table.processArgs(none), "") << none;

    addProcess(root(), 900, "hidden", "hidden", {"socket:[1001]"});
    fs::permissions(root() / "900" / "fd", fs::perms::none);
    // Root reads every directory: look as an ordinary user does, from a child that has given up
    // root for good.
    fs::permissions(root(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                                fs::perms::others_read);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool dropped =
            ::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0;
        const bool seen = table.listenerPids(8080) == std::vector<pid_t>{42, 300};
        ::_exit(!dropped ? 2 : seen ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not drop root; 1: wrong listeners";
    fs::permissions(root() / "900" / "fd", fs::perms::owner_all);  // so the tree can be removed
}

// lsof and ps, played by the scripts in fake_tools; each writes its arguments one a line.
class LsofProcessTableTest : public ::testing::Test {
protected:
    void answer(const std::string& tool, const std::string& text) { writeFile(dir_ / tool, text); }
    std::string argumentsOf(const std::string& tool) { return readFile(dir_ / (tool + "-args")); }

    const std::string tools_ = NIMBRA_SOURCE_DIR "/tests/system/fake_tools";
    LsofProcessTable table_{{tools_ + "/lsof", tools_ + "/ps"}};
    testing::TempDir dir_;
    ScopedEnv env_[5] = {{"NIMBRA_FAKE_LSOF_ARGS", (dir_ / "lsof-args").string()},
                         {"NIMBRA_FAKE_LSOF_TERSE", (dir_ / "terse").string()},
                         {"NIMBRA_FAKE_LSOF_LISTING", (dir_ / "listing").string()},
                         {"NIMBRA_FAKE_PS_ARGS", (dir_ / "ps-args").string()},
                         {"NIMBRA_FAKE_PS_OUTPUT", (dir_ / "ps").string()}};
};

TEST_F(LsofProcessTableTest, AnswersComeFromLsofAndPsAndAFailingToolMeansNobody) {
    answer("terse", "4242\n  17 \n\nnot-a-pid\n12abc\n99999999999\n-3\n0\n4242\r\n8\n");
    EXPECT_THAT(table_.listenerPids(8080), ElementsAre(4242, 17, 8));
    EXPECT_EQ(argumentsOf("lsof"), "-nP\n-iTCP:8080\n-sTCP:LISTEN\n-t\n");

    answer("listing", "\nCOMMAND PID USER\nusque   42 me   TCP 127.0.0.1:8080 (LISTEN)\n\n");
    EXPECT_EQ(table_.listenerSnapshot(8080),
              "COMMAND PID USER | usque   42 me   TCP 127.0.0.1:8080 (LISTEN)");
    EXPECT_EQ(argumentsOf("lsof"), "-nP\n-iTCP:8080\n-sTCP:LISTEN\n");

    // lsof says 1 for "no match": pids read as nobody, the listing is taken as it is.
    ScopedEnv lsofFails("NIMBRA_FAKE_LSOF_EXIT", "1");
    EXPECT_THAT(table_.listenerPids(8080), IsEmpty());
    EXPECT_EQ(table_.listenerSnapshot(8080),
              "COMMAND PID USER | usque   42 me   TCP 127.0.0.1:8080 (LISTEN)");
    answer("listing", " \n\t\n");
    EXPECT_EQ(table_.listenerSnapshot(8080), "(none)");

    LsofProcessTable missing({(dir_ / "no-lsof").string(), (dir_ / "no-ps").string()});
    EXPECT_THAT(missing.listenerPids(8080), IsEmpty());
    EXPECT_EQ(missing.listenerSnapshot(8080), "(lsof failed)");
    EXPECT_EQ(missing.processArgs(42), "");

    // ps's answer is taken as printed, trailing newline included, unless ps fails or it is not
    // UTF-8.
    answer("ps", "  /opt/nimbra/usque socks -p 8080 \n");
    EXPECT_EQ(table_.processArgs(42), "  /opt/nimbra/usque socks -p 8080 \n");
    EXPECT_EQ(argumentsOf("ps"), "-p\n42\n-o\nargs=\n");
    EXPECT_EQ(table_.processArgs(0), "");

    answer("ps", "us\xffque\n");
    EXPECT_EQ(table_.processArgs(42), "");
    answer("ps", "usque\n");
    ScopedEnv psFails("NIMBRA_FAKE_PS_EXIT", "1");
    EXPECT_EQ(table_.processArgs(42), "");
}

}  // namespace
}  // namespace nimbra
