// The resolver switch on temporary files and a stand-in resolvectl (the machine's own
// /etc/resolv.conf and systemd-resolved are never touched): the file comes back byte for byte,
// with its mode and owner or as the same symlink, after restore() and after a crash; someone
// else's change is left alone; a garbled journal is never acted on; with resolved in charge,
// exactly the per-link calls and the revert; and pointing again when usque comes back never
// passes through the settings from before the tunnel.

#include "nimbrad/system_resolver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/text.hpp"
#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using nimbra::testing::writeFile;

using Lines = std::vector<std::string>;

const std::string kOriginal =
    "# from DHCP\nnameserver 192.168.1.1\nnameserver fe80::1%wlan0\nsearch lan corp.example\n"
    "options edns0 trust-ad\n";

TEST(ResolverJournal, ReadsBackWhatItWroteAndNothingElse) {
    ResolverJournal file;
    file.path = "/etc/resolv.conf";
    file.ours = "nameserver 127.0.0.1\n";
    auto regular = file;
    regular.before = ResolverJournal::Before::regular;
    regular.mode = 0640;
    regular.owner = 1234;
    regular.group = 5678;
    regular.bytes = std::string("nameserver 10.0.0.1\n\0\xff", 22);
    EXPECT_EQ(formatResolverJournal(regular),
              "nimbrad-resolver 1\n"
              "file /etc/resolv.conf\n"
              "before regular 640 1234 5678 6e616d657365727665722031302e302e302e310a00ff\n"
              "ours 6e616d65736572766572203132372e302e302e310a\n");

    auto empty = regular;
    empty.bytes.clear();
    auto symlink = file;
    symlink.before = ResolverJournal::Before::symlink;
    symlink.target = "../run/odd name/resolv.conf";
    auto absent = file;
    absent.before = ResolverJournal::Before::absent;
    ResolverJournal resolved;
    resolved.kind = ResolverJournal::Kind::resolved;
    resolved.device = "nimbra0";
    for (const auto& journal : {regular, empty, symlink, absent, resolved}) {
        EXPECT_EQ(parseResolverJournal(formatResolverJournal(journal)), journal)
            << formatResolverJournal(journal);
    }

    // Root puts back only what it can read exactly: torn, foreign or half-written is nothing.
    const std::string head = "nimbrad-resolver 1\nfile /etc/resolv.conf\n";
    for (const std::string& garbled : std::vector<std::string>{
             "nimbrad-resolver 2\nresolved nimbra0\n",
             "nimbrad-resolver 1\nresolved nimbra0",  // torn
             "nimbrad-resolver 1\nresolved a/b\n",
             head + "before absent\n",                       // ours missing
             head + "before regular 644 0 0 zz\nours 0a\n",  // not hex
             head + "before regular 19 0 0 0a\nours 0a\n",   // not octal
         }) {
        EXPECT_EQ(parseResolverJournal(garbled), std::nullopt) << garbled;
    }
}

TEST(TunnelResolvConf, NamesOnlyTheForwarderAndKeepsSearchDomainsAndOptions) {
    const std::string head =
        "# Written by nimbrad while the tunnel is up; the previous file comes back when it "
        "stops.\n";
    EXPECT_EQ(
        tunnelResolvConf(kOriginal + "  domain home\n\tsearchx y\nsortlist 10.0.0.0", "127.0.0.1"),
        head +
            "nameserver 127.0.0.1\nsearch lan corp.example\noptions edns0 trust-ad\n  domain "
            "home\n");
    EXPECT_EQ(tunnelResolvConf("", "::1"), head + "nameserver ::1\n");
}

// What is at a path, in every respect restore() must bring back.
struct FileState {
    bool exists = false;
    bool symlink = false;
    std::string target;
    std::string bytes;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    bool operator==(const FileState&) const = default;
};

std::ostream& operator<<(std::ostream& out, const FileState& s) {
    return out << "{exists " << s.exists << " symlink " << s.symlink << " target " << s.target
               << " mode " << std::oct << s.mode << std::dec << " owner " << s.owner << ":"
               << s.group << " bytes \"" << s.bytes << "\"}";
}

FileState stateOf(const fs::path& path) {
    FileState state;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return state;
    state.exists = true;
    state.mode = st.st_mode & 07777;
    state.owner = st.st_uid;
    state.group = st.st_gid;
    if (S_ISLNK(st.st_mode)) {
        state.symlink = true;
        state.target = fs::read_symlink(path).string();
        state.mode = 0;  // a link's own mode means nothing and differs between file systems
    } else {
        state.bytes = readWholeFile(path).value_or("");
    }
    return state;
}

class SystemResolverTest : public ::testing::Test {
protected:
    SystemResolverTest() {
        options_.resolvConf = dir_ / "etc/resolv.conf";
        options_.journal = dir_ / "state/resolver.journal";
        options_.resolvectl = std::string(NIMBRA_STANDIN_DIR) + "/fake_resolvectl/resolvectl";
        options_.resolvedFiles = {stub(), dir_ / "run/systemd/resolve/resolv.conf"};
        fs::create_directories(dir_ / "etc");
    }

    fs::path stub() const { return dir_ / "run/systemd/resolve/stub-resolv.conf"; }
    const fs::path& resolvConf() const { return options_.resolvConf; }
    // What resolvectl was asked since the last look.
    std::vector<std::string> calls() const {
        auto lines = text::splitLines(testing::readFile(dir_ / "resolvectl.log"));
        fs::remove(dir_ / "resolvectl.log");
        return lines;
    }
    bool recover() {
        return SystemResolver::recoverFromJournal(options_.journal, options_.resolvConf,
                                                  options_.resolvectl);
    }

    TempDir dir_;
    ScopedEnv log_{"FAKE_RESOLVECTL_LOG", (dir_ / "resolvectl.log").string()};
    ScopedEnv fail_{"FAKE_RESOLVECTL_FAIL", std::nullopt};
    SystemResolver::Options options_;
};

TEST_F(SystemResolverTest, FileComesBackExactlyAfterRestoreAndAfterACrash) {
    const fs::path& file = resolvConf();
    // How the file looks before the tunnel, for the cases where nimbrad writes it itself.
    const struct {
        const char* name;
        bool withOriginal;  // whose search and options lines the tunnel's file keeps
        std::function<void()> setUp;
    } cases[] = {
        {"a plain file, unusual mode and owner", true,
         [&] {
             writeFile(file, kOriginal);
             ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
             ASSERT_TRUE(::geteuid() != 0 || ::chown(file.c_str(), 1234, 5678) == 0);
         }},
        {"an empty file", false, [&] { writeFile(file, ""); }},
        {"a relative symlink to a file another tool manages", true,
         [&] {
             writeFile(dir_ / "run/resolvconf/resolv.conf", kOriginal);
             fs::create_symlink("../run/resolvconf/resolv.conf", file);
         }},
        {"a dangling symlink", false,
         [&] { fs::create_symlink("/nonexistent/resolv.conf", file); }},
        {"no file at all", false, [] {}},
    };
    for (const bool crash : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (crash ? ", after a crash" : ", restore()"));
            fs::remove_all(dir_ / "etc");
            fs::remove_all(dir_ / "run");
            fs::create_directories(dir_ / "etc");
            c.setUp();
            const auto before = stateOf(resolvConf());
            {
                SystemResolver resolver(options_);
                resolver.pointAt("nimbra0", "127.0.0.1:53");
                EXPECT_TRUE(resolver.pointed());
                const auto up = stateOf(resolvConf());
                EXPECT_FALSE(up.symlink);
                EXPECT_EQ(up.mode, 0644u);
                EXPECT_EQ(up.bytes, tunnelResolvConf(c.withOriginal ? kOriginal : "", "127.0.0.1"));
                EXPECT_TRUE(fs::exists(options_.journal));
                if (!crash) resolver.restore();
            }
            if (crash) {
                // The object is gone without restore(), as with kill -9; the change stays.
                EXPECT_NE(stateOf(resolvConf()), before);
                EXPECT_TRUE(recover());
            }
            EXPECT_EQ(stateOf(resolvConf()), before);
            EXPECT_FALSE(fs::exists(options_.journal));
            EXPECT_FALSE(recover());
        }
    }
    EXPECT_TRUE(calls().empty());  // no resolved here, so no reason to ask it anything
}

TEST_F(SystemResolverTest, SomeoneElsesChangeWhileUpIsLeftAlone) {
    const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> changes = {
        {"rewritten", [](const fs::path& p) { writeFile(p, "nameserver 9.9.9.9\n"); }},
        {"replaced by a link",
         [](const fs::path& p) {
             fs::remove(p);
             fs::create_symlink("/run/NetworkManager/resolv.conf", p);
         }},
        {"deleted", [](const fs::path& p) { fs::remove(p); }},
    };
    for (const bool crash : {false, true}) {
        for (const auto& [name, change] : changes) {
            SCOPED_TRACE(std::string(name) + (crash ? ", after a crash" : ""));
            writeFile(resolvConf(), kOriginal);
            {
                SystemResolver resolver(options_);
                resolver.pointAt("nimbra0", "127.0.0.1");
                change(resolvConf());
                const auto theirs = stateOf(resolvConf());
                if (crash) {
                    EXPECT_TRUE(SystemResolver::recoverFromJournal(options_.journal, resolvConf()));
                } else {
                    resolver.restore();
                }
                EXPECT_EQ(stateOf(resolvConf()), theirs);
                EXPECT_FALSE(fs::exists(options_.journal));
            }
            fs::remove(resolvConf());
        }
    }
}

TEST_F(SystemResolverTest, RefusalsLeaveTheFileAndAnyJournalAsTheyWere) {
    writeFile(resolvConf(), kOriginal);
    const auto before = stateOf(resolvConf());
    SystemResolver resolver(options_);
    // resolv.conf has no way to name a port; a device name must not read as an option.
    EXPECT_THROW(resolver.pointAt("nimbra0", "127.0.0.1:5353"), ResolverError);
    EXPECT_THROW(resolver.pointAt("nimbra0", "localhost"), ResolverError);
    EXPECT_THROW(resolver.pointAt("-x", "127.0.0.1"), ResolverError);
    // The backup is journalled, then the new file cannot be written: its scratch name is taken
    // by a directory.
    const auto scratch = dir_ / "etc/.resolv.conf.nimbrad-new";
    fs::create_directories(scratch);
    EXPECT_THROW(resolver.pointAt("nimbra0", "127.0.0.1"), ResolverError);
    EXPECT_FALSE(resolver.pointed());
    EXPECT_EQ(stateOf(resolvConf()), before);
    EXPECT_FALSE(fs::exists(options_.journal));
    fs::remove(scratch);

    // A garbled or foreign journal is never acted on.
    ResolverJournal foreign;
    foreign.path = dir_ / "elsewhere/resolv.conf";
    foreign.before = ResolverJournal::Before::absent;
    foreign.ours = "nameserver 127.0.0.1\n";
    for (const std::string& journal :
         {std::string("nimbrad-resolver 1\nfile ") + resolvConf().string() + "\nbefore absent\n",
          std::string("nimbrad-routes 1\n"), formatResolverJournal(foreign)}) {
        SCOPED_TRACE(journal);
        writeFile(options_.journal, journal);
        EXPECT_THROW(recover(), ResolverError);
        // Nor does pointing again write over it: it may hold the only copy of the user's file.
        EXPECT_THROW(resolver.pointAt("nimbra0", "127.0.0.1"), ResolverError);
        EXPECT_FALSE(resolver.pointed());
        EXPECT_EQ(stateOf(resolvConf()), before);
        EXPECT_EQ(readWholeFile(options_.journal), journal);
    }
}

// With resolv.conf linked to resolved's stub, whether resolved is asked or the file replaced.
TEST_F(SystemResolverTest, ResolvedGetsPerLinkDnsOnlyWhenItManagesTheFileAndAnswers) {
    // Asked whether it runs, then told the link's server, its catch-all domain and default route.
    const Lines pointing = {"status", "dns nimbra0 127.0.0.1", "domain nimbra0 ~.",
                            "default-route nimbra0 true"};
    struct Case {
        const char* name;
        bool stubExists;
        const char* failingVerb;
        bool viaResolved;
    };
    for (const auto& c : {Case{"resolved running", true, nullptr, true},
                          Case{"resolved stopped, files left behind", true, "status", false},
                          Case{"resolved never started this boot", false, nullptr, false}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "run");
        fs::remove(resolvConf());
        if (c.stubExists) writeFile(stub(), "nameserver 127.0.0.53\nsearch lan\n");
        fs::create_symlink("../run/systemd/resolve/stub-resolv.conf", resolvConf());
        const auto before = stateOf(resolvConf());
        ScopedEnv fail("FAKE_RESOLVECTL_FAIL",
                       c.failingVerb ? std::optional<std::string>(c.failingVerb) : std::nullopt);

        SystemResolver resolver(options_);
        EXPECT_EQ(resolver.resolvedManages(), c.viaResolved);
        calls();
        resolver.pointAt("nimbra0", "127.0.0.1:53");
        if (c.viaResolved) {
            EXPECT_EQ(stateOf(resolvConf()), before);
            EXPECT_EQ(calls(), pointing);
        } else {
            EXPECT_EQ(stateOf(resolvConf()).bytes,
                      tunnelResolvConf(c.stubExists ? "search lan\n" : "", "127.0.0.1"));
        }
        // usque came back with a new link: pointed again, never through the settings from before
        // the tunnel. A file replaced in between would be a new one, not the one held here.
        calls();
        const auto held = dir_ / "etc/held";
        fs::create_hard_link(resolvConf(), held);
        resolver.pointAt("nimbra0", "127.0.0.1:53");
        EXPECT_TRUE(fs::equivalent(resolvConf(), held));
        fs::remove(held);
        EXPECT_EQ(calls(), c.viaResolved ? Lines(pointing.begin() + 1, pointing.end()) : Lines{});
        resolver.restore();
        EXPECT_EQ(stateOf(resolvConf()), before);
        EXPECT_FALSE(fs::exists(options_.journal));
        EXPECT_EQ(calls(), c.viaResolved ? Lines{"revert nimbra0"} : Lines{});
    }
}

TEST_F(SystemResolverTest, ResolvedRecoveryAndFailures) {
    writeFile(stub(), "nameserver 127.0.0.53\n");
    fs::create_symlink(stub(), resolvConf());

    // A forwarder on another port, and a crash: the next start reverts the link, and a link that
    // vanished with the tunnel (resolvectl fails) still counts as undone.
    {
        SystemResolver resolver(options_);
        resolver.pointAt("nimbra0", "[::1]:5353");
    }
    EXPECT_EQ(calls().at(1), "dns nimbra0 [::1]:5353");
    EXPECT_EQ(readWholeFile(options_.journal), "nimbrad-resolver 1\nresolved nimbra0\n");
    {
        ScopedEnv fail("FAKE_RESOLVECTL_FAIL", "revert");
        EXPECT_TRUE(recover());
    }
    EXPECT_EQ(calls(), Lines{"revert nimbra0"});
    EXPECT_FALSE(fs::exists(options_.journal));

    // resolved refuses one of the settings: what it took is reverted, no journal is left.
    ScopedEnv fail("FAKE_RESOLVECTL_FAIL", "domain");
    SystemResolver resolver(options_);
    EXPECT_THAT(
        [&] { resolver.pointAt("nimbra0", "127.0.0.1"); },
        ::testing::ThrowsMessage<ResolverError>(::testing::HasSubstr("domain nimbra0 ~.: exit 1")));
    EXPECT_EQ(calls(),
              (Lines{"status", "dns nimbra0 127.0.0.1", "domain nimbra0 ~.", "revert nimbra0"}));
    EXPECT_FALSE(resolver.pointed());
    EXPECT_FALSE(fs::exists(options_.journal));
}

}  // namespace
}  // namespace nimbra::nimbrad
