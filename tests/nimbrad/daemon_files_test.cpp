// The files nimbrad reads and writes on the user's behalf: config.yml, usque's registration, the
// program it runs as root, and the user-owned folder they all live in.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "base/atomic_file.hpp"
#include "nimbrad/daemon_config.hpp"
#include "nimbrad/daemon_log.hpp"
#include "nimbrad/registration_endpoints.hpp"
#include "nimbrad/trusted_program.hpp"
#include "nimbrad/user_file.hpp"
#include "nimbrad/user_file_error.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kNobody = 65534;

TEST(DaemonConfig, ReadsWhatTheClientWritesAndDropsWhatFailsTheChecks) {
    const auto parsed = parseDaemonConfig(
        "dns:\n  mode: nextdns\n  custom: \"9.9.9.9\"\n  profile: \"abc123\"\n"
        "  device: \"Ann's laptop\"\nhttp2: true\nnat64_prefix: \"2602:fc59:b0:64::\"\n"
        "china_direct: true\nexcludes:\n  - 10.20.0.0/16\n  - intranet.example\n"
        "  - 10.20.0.0/16\n  - rm -rf /\n");
    const std::vector<std::string> excludes{"10.20.0.0/16", "intranet.example"};
    const DaemonConfig expected{"nextdns", "9.9.9.9",           "abc123", "Ann's laptop",
                                true,      "2602:fc59:b0:64::", true,     excludes};
    EXPECT_EQ(parsed.config, expected);
    ASSERT_EQ(parsed.warnings.size(), 1u);
    EXPECT_NE(parsed.warnings[0].find("rm -rf /"), std::string::npos);

    // Hostile values: defaults stay, each refusal is noted, and what the user's file said reaches
    // the log only escaped and cut short. (The installer's first file is read back, without a
    // warning, in tests/daemon.)
    const auto hostile =
        parseDaemonConfig("dns:\n  mode: \"\x1b]0;\x07\xff" + std::string(300, 'x') +
                          "\"\n  custom: \"1.1.1.1; x\"\nnat64_prefix: \"10.0.0.0\"\n");
    EXPECT_EQ(hostile.config, DaemonConfig{});
    ASSERT_EQ(hostile.warnings.size(), 3u);
    const std::string& warning = hostile.warnings[0];
    EXPECT_NE(warning.find("mode"), std::string::npos) << warning;
    EXPECT_EQ(warning.find(std::string(100, 'x')), std::string::npos) << "cut short";
    EXPECT_TRUE(std::none_of(warning.begin(), warning.end(), [](unsigned char c) {
        return c < 0x20 || c == 0x7f || c == 0xff;
    })) << warning;
}

TEST(DaemonConfig, ExcludesBlockIsReplacedAndEverythingElseKept) {
    const std::string text =
        "dns:\n  mode: cloudflare\nexcludes:\n  - 1.2.3.4\n  - a.example\n"
        "china_direct: false\n";
    EXPECT_EQ(withExcludes(text, {"10.0.0.0/8"}),
              "dns:\n  mode: cloudflare\nexcludes:\n  - 10.0.0.0/8\nchina_direct: false\n");
    EXPECT_EQ(withExcludes(text, {}),
              "dns:\n  mode: cloudflare\nexcludes: []\nchina_direct: false\n");
    EXPECT_EQ(withExcludes("http2: false", {"b.example"}),
              "http2: false\nexcludes:\n  - b.example\n");
    EXPECT_EQ(parseDaemonConfig(withExcludes(text, {"x.example", "::1"})).config.excludes,
              (std::vector<std::string>{"x.example", "::1"}));
}

TEST(RegistrationEndpoints, EveryEndpointAddressAndTheGatewaysEmbeddingOfIt) {
    const std::string registration =
        R"({"endpoint_v4":"162.159.198.1","endpoint_v6":"2606:4700:103::1",)"
        R"("endpoint_h2_v4":"162.159.198.2","endpoint_pub_key":"-----BEGIN","ipv4":"172.16.0.2",)"
        R"("ipv6":"2606:4700:110::2"})";
    auto endpoints = registrationEndpoints(registration, "");
    std::sort(endpoints.begin(), endpoints.end());
    EXPECT_EQ(endpoints,
              (std::vector<std::string>{"162.159.198.1", "162.159.198.2", "2606:4700:103::1"}));
    EXPECT_EQ(registrationEndpoints(registration, "2602:fc59:b0:64::").back(),
              "2602:fc59:b0:64::a29f:c601");
    EXPECT_TRUE(registrationHasIpv6(registration));
    EXPECT_FALSE(registrationHasIpv6(R"({"ipv6":""})"));
    EXPECT_TRUE(registrationEndpoints("not json", "").empty());
    EXPECT_TRUE(registrationEndpoints("[1,2]", "").empty());
}

class RootOnly : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root: ownership and file-system identities";
    }
    testing::TempDir dir;
};

TEST_F(RootOnly, RootRunsOnlyProgramsNobodyElseCanChange) {
    const auto program = dir / "usque";
    writeFileAtomically(program, "#!/bin/sh\n");
    ::chmod(program.c_str(), 0755);
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(refuseUntrustedProgram(program), std::nullopt);

    ::chmod(program.c_str(), 0775);
    EXPECT_NE(refuseUntrustedProgram(program), std::nullopt) << "group-writable";
    ::chmod(program.c_str(), 0755);
    ASSERT_EQ(::chown(program.c_str(), kNobody, kNobody), 0);
    EXPECT_NE(refuseUntrustedProgram(program), std::nullopt) << "owned by a user";
    ASSERT_EQ(::chown(program.c_str(), 0, 0), 0);
    ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
    EXPECT_NE(refuseUntrustedProgram(program), std::nullopt) << "in a user's folder";
    ASSERT_EQ(::chown(dir.path().c_str(), 0, 0), 0);

    const auto link = dir / "link";
    fs::create_symlink(program, link);
    EXPECT_EQ(refuseUntrustedProgram(link), std::nullopt) << "a link to a trusted program";
    EXPECT_NE(refuseUntrustedProgram("usque"), std::nullopt) << "relative";
    EXPECT_NE(refuseUntrustedProgram(dir / "missing"), std::nullopt);
}

// The user's tree as nimbrad meets it: <dir>/home/work/daemon/config.yml, all the user's, and
// beside it a tree only root may write to, <dir>/root/daemon, holding root's own config.yml.
class UserTree : public RootOnly {
protected:
    void SetUp() override {
        RootOnly::SetUp();
        if (IsSkipped()) return;
        ::chmod(dir.path().c_str(), 0755);
        fs::create_directories(rootDaemon);
        writeFileAtomically(rootDaemon / "config.yml", kSecret);
        fs::create_directories(daemon);
        for (const auto& folder : {dir / "home", work, daemon}) giveToUser(folder);
        writeFileAtomically(daemon / "config.yml", "excludes: []\n");
        giveToUser(daemon / "config.yml");
    }
    static void giveToUser(const fs::path& path) {
        ASSERT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0) << path;
    }
    // What root's tree holds; no access through the user's tree may change or add to it.
    std::vector<std::string> rootTree() const {
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "root"))
            entries.push_back(
                entry.path().string() + "=" +
                (entry.is_regular_file() ? readWholeFile(entry.path()).value_or("") : "folder"));
        return entries;
    }

    static constexpr const char* kSecret = "secret: root only\n";
    const fs::path rootDaemon = dir / "root" / "daemon";
    const fs::path work = dir / "home" / "work";
    const fs::path daemon = work / "daemon";
    const UserIdentity user{kNobody, kNobody};
};

TEST_F(UserTree, LinksFifosDevicesAndHugeFilesInTheUsersTreeAreRefused) {
    const auto before = rootTree();
    const auto config = daemon / "config.yml";
    for (const auto& [link, target] :
         {std::pair{daemon, rootDaemon}, std::pair{work, dir / "root"}}) {
        SCOPED_TRACE(link);
        const auto real = link.string() + ".real";
        fs::rename(link, real);
        fs::create_symlink(target, link);
        giveToUser(link);
        EXPECT_THROW(UserFile(config, user).read(), UserFileError);
        EXPECT_THROW(UserFile(config, user).replace("excludes: []\n"), UserFileError);
        openLogFile(daemon / "nimbrad.log", {kNobody});
        EXPECT_EQ(rootTree(), before);
        fs::remove(link);
        fs::rename(real, link);
    }
    const auto plant = [&](auto make) {
        fs::remove(config);
        make();
        giveToUser(config);
        EXPECT_THROW(UserFile(config, user).read(), UserFileError);
    };
    plant([&] { ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0); });
    plant([&] { writeFileAtomically(config, std::string(UserFile::kMaxSize + 1, '#')); });
    plant([&] { fs::create_symlink("/dev/zero", config); });
}

// Only the user may change what the path leads to: a folder their own group may write to (a
// umask of 002 with a group per user) is theirs alone, one of a shared group is not.
TEST_F(UserTree, FoldersOthersMayWriteToAreRefused) {
    const auto config = daemon / "config.yml";
    ASSERT_EQ(::chmod(work.c_str(), 0775), 0);
    EXPECT_EQ(UserFile(config, user).read(), "excludes: []\n");
    ASSERT_EQ(::lchown(work.c_str(), kNobody, 0), 0);
    EXPECT_THROW(UserFile(config, user).read(), UserFileError);
    ASSERT_EQ(::chmod(work.c_str(), 0757), 0);
    EXPECT_THROW(UserFile(config, user).read(), UserFileError);
}

// The user swaps <work>/daemon with a link into root's tree, over and over, while nimbrad reads
// and rewrites config.yml: no rewrite may carry root's file into the user's, or touch root's.
TEST_F(UserTree, AFolderSwappedDuringARewriteNeverMixesTwoFiles) {
    const auto before = rootTree();
    const auto swapped = work / "swapped";
    fs::create_symlink(rootDaemon, swapped);
    giveToUser(swapped);
    std::atomic<bool> flipping = true;
    std::thread flipper([&] {
        for (int i = 0; i < 10000; ++i)
            ::renameat2(AT_FDCWD, daemon.c_str(), AT_FDCWD, swapped.c_str(), RENAME_EXCHANGE);
        flipping = false;
    });
    const auto config = daemon / "config.yml";
    while (flipping) {
        try {
            const UserFile file(config, user);  // as the daemon rewrites its exclusions
            const auto text = file.read().value_or("");
            EXPECT_EQ(text.find("secret"), std::string::npos);
            file.replace(withExcludes(text, {"10.0.0.0/8"}));
        } catch (const UserFileError&) {  // met the link
        }
    }
    flipper.join();
    EXPECT_EQ(rootTree(), before);
    EXPECT_EQ(readWholeFile(config).value_or("").find("secret"), std::string::npos);
}

// Without CAP_SETUID the switch of identity fails; the access must then fail too, not go on with
// root's rights.
TEST_F(UserTree, AnIdentitySwitchThatDoesNotTakeRefusesTheAccess) {
    writeFileAtomically(daemon / "config.yml", kSecret);  // root's, mode 0600, in the user's folder
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
        data[0].effective &= ~((1u << CAP_SETUID) | (1u << CAP_SETGID));
        ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
        EXPECT_THROW(UserFile(daemon / "config.yml", user).read(), UserFileError);
    }).join();
}

}  // namespace
}  // namespace nimbra::nimbrad
