// The files nimbrad reads and writes on the user's behalf: config.yml, usque's registration, the
// program it runs as root, and the user-owned folder they all live in.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/atomic_file.hpp"
#include "nimbrad/daemon_config.hpp"
#include "nimbrad/registration_endpoints.hpp"
#include "nimbrad/trusted_program.hpp"
#include "nimbrad/user_file_access.hpp"
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
    const DaemonConfig& c = parsed.config;
    EXPECT_EQ(c.dnsMode, "nextdns");
    EXPECT_EQ(c.dnsCustom, "9.9.9.9");
    EXPECT_EQ(c.dnsProfile, "abc123");
    EXPECT_EQ(c.dnsDevice, "Ann's laptop");
    EXPECT_TRUE(c.http2);
    EXPECT_EQ(c.nat64Prefix, "2602:fc59:b0:64::");
    EXPECT_TRUE(c.chinaDirect);
    EXPECT_EQ(c.excludes, (std::vector<std::string>{"10.20.0.0/16", "intranet.example"}));
    ASSERT_EQ(parsed.warnings.size(), 1u);
    EXPECT_NE(parsed.warnings[0].find("rm -rf /"), std::string::npos);

    // The installer's first file, and hostile values: defaults stay, each refusal is noted.
    const auto first = parseDaemonConfig("dns:\n  mode: adguard\nhttp2: false\nexcludes: []");
    EXPECT_EQ(first.config.dnsMode, "adguard");
    EXPECT_TRUE(first.config.excludes.empty());
    const auto hostile = parseDaemonConfig(
        "dns:\n  mode: \"$(reboot)\"\n  custom: \"1.1.1.1; x\"\nnat64_prefix: \"10.0.0.0\"\n");
    EXPECT_EQ(hostile.config, DaemonConfig{});
    EXPECT_EQ(hostile.warnings.size(), 3u);
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

// A user's folder may hold a link to a file only root may touch; through it, root must neither
// read that file nor write it.
TEST_F(RootOnly, UserFilesAreAccessedWithTheFolderOwnersRights) {
    ::chmod(dir.path().c_str(), 0755);
    const auto secret = dir / "secret";
    writeFileAtomically(secret, "root only\n");
    ::chmod(secret.c_str(), 0600);

    const auto home = dir / "home";
    fs::create_directory(home);
    ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
    fs::create_symlink(secret, home / "config.yml");

    EXPECT_EQ(readAsFolderOwner(home / "config.yml"), std::nullopt);
    writeAsFolderOwner(home / "config.yml", "excludes: []\n");
    EXPECT_EQ(readWholeFile(secret), "root only\n");
    EXPECT_FALSE(fs::is_symlink(home / "config.yml"));
    struct stat written {};
    ASSERT_EQ(::stat((home / "config.yml").c_str(), &written), 0);
    EXPECT_EQ(written.st_uid, kNobody) << "the user keeps owning their file";
    EXPECT_EQ(readAsFolderOwner(home / "config.yml"), "excludes: []\n");

    ::chmod(home.c_str(), 0500);  // a folder its owner cannot write to
    EXPECT_THROW(writeAsFolderOwner(home / "config.yml", "x"), std::system_error);
}

}  // namespace
}  // namespace nimbra::nimbrad
