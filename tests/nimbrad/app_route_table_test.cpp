// The per-app nftables table against the real kernel and nft, in a network namespace of the
// test's own (the sysctl is per namespace too) and a mount namespace where cgroup2 sits at
// /sys/fs/cgroup, as nft expects. The cgroups are created by the test below a slice of its own
// and removed again: the hierarchy is the host's.

#include "nimbrad/app_route_table.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/subprocess.hpp"
#include "nimbrad/nft_batch.hpp"
#include "support/private_network.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

using namespace std::chrono_literals;
constexpr const char* kSysctl = "/proc/sys/net/ipv4/conf/all/src_valid_mark";

std::string nft(std::vector<std::string> args) {
    args.insert(args.begin(), "nft");
    Subprocess::Options options;
    options.argv = std::move(args);
    const auto result = Subprocess::run(std::move(options), 10s);
    return result.status.succeeded() ? result.out : "failed: " + result.err;
}

// (level, path, mark) of each marking rule, in the table's order.
using Marking = std::tuple<int, std::string, std::uint32_t>;
std::vector<Marking> markings() {
    const auto text = nft({"list", "chain", "inet", "nimbra_apps", "out"});
    static const std::regex rule(
        R"re(socket cgroupv2 level (\d+) "([^"]*)" meta mark set (0x[0-9a-f]+) ct mark set)re");
    std::vector<Marking> out;
    for (std::sregex_iterator it(text.begin(), text.end(), rule), end; it != end; ++it) {
        out.emplace_back(std::stoi((*it)[1]), (*it)[2],
                         static_cast<std::uint32_t>(std::stoul((*it)[3], nullptr, 16)));
    }
    return out;
}

// Cgroups made by the test, removed deepest first; parents it found are left alone.
class TestCgroups {
public:
    TestCgroups() : slice_("user.slice/user-0.slice/nimbra-test-" + std::to_string(::getpid())) {
        for (const auto* folder : {"user.slice", "user.slice/user-0.slice"}) make(folder);
        make(slice_ + ".slice");
    }
    ~TestCgroups() {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::rmdir(it->c_str());
    }
    std::string make(const std::string& relative) {
        const auto path = "/sys/fs/cgroup/" + relative;
        if (::mkdir(path.c_str(), 0755) == 0) made_.push_back(path);
        return relative;
    }
    std::string scope(const std::string& name) { return make(slice_ + ".slice/" + name); }
    void vanish(const std::string& relative) {
        ::rmdir(("/sys/fs/cgroup/" + relative).c_str());
        std::erase(made_, "/sys/fs/cgroup/" + relative);
    }

private:
    std::string slice_;
    std::vector<std::string> made_;
};

// Runs `body` in a private network namespace with a private mount namespace in which cgroup2
// is mounted at /sys/fs/cgroup. An exception fails the test rather than ending the program
// with the test's cgroups left behind.
void inCgroupWorld(const std::function<void()>& body) {
    const auto failure = testing::inPrivateNetwork([&] {
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(::mount("cgroup2", "/sys/fs/cgroup", "cgroup2", 0, nullptr), 0)
            << std::strerror(errno);
        try {
            body();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    });
    ASSERT_EQ(failure, "");
}

// Something of someone else's that must come through untouched.
void addForeignTable() {
    runNftBatch(
        "add table inet theirs\nadd chain inet theirs c { type filter hook output "
        "priority 0; policy accept; }\nadd rule inet theirs c meta mark 7 counter\n");
}

TEST(AppRouteTable, MarksAsAskedAcrossChangesAndRemovesOnlyItsOwn) {
    inCgroupWorld([] {
        TestCgroups cgroups;
        const auto a = cgroups.scope("app-a.scope");
        const auto inner = cgroups.make(a + "/inner");
        const auto b = cgroups.scope("app-b\\x2dx@1.service");
        const auto gone = cgroups.scope("gone.scope");
        // A cgroup a user may name as they like inside their own slice, made to end nft's
        // quoted string and go on as rules of its own.
        const auto hostile = cgroups.scope("h\" meta mark set 0x6e620002 accept #");
        addForeignTable();
        const auto before = nft({"list", "ruleset"});
        const auto sysctlBefore = readWholeFile(kSysctl);
        ASSERT_EQ(sysctlBefore, "0\n");

        testing::TempDir state;
        AppRouteTable table("tun0", state / "app-routes");
        using T = AppRouteTarget;
        const struct {
            std::vector<AppRoute> asked;
            std::vector<AppRoute> applied;
            std::vector<Marking> marked;
        } steps[] = {
            {{{a, T::direct}, {b, T::proxy}},
             {{a, T::direct}, {b, T::proxy}},
             {{4, a, kDirectMark}, {4, b, kProxyMark}}},
            // The deeper cgroup comes last, so its mark is the one its packets keep.
            {{{inner, T::proxy}, {b, T::direct}, {a, T::direct}},
             {{b, T::direct}, {a, T::direct}, {inner, T::proxy}},
             {{4, b, kDirectMark}, {4, a, kDirectMark}, {5, inner, kProxyMark}}},
            // `gone` was there when the caller checked it and vanishes before the load.
            {{{gone, T::proxy}, {hostile, T::proxy}, {a, T::direct}},
             {{a, T::direct}},
             {{4, a, kDirectMark}}},
        };
        for (const auto& step : steps) {
            if (step.asked.front().path == gone) cgroups.vanish(gone);
            EXPECT_EQ(table.apply({T::proxy, step.asked}), step.applied);
            EXPECT_EQ(markings(), step.marked);
            EXPECT_EQ(readWholeFile(kSysctl), "1\n");
        }

        table.remove();
        EXPECT_EQ(nft({"list", "ruleset"}), before);
        EXPECT_EQ(readWholeFile(kSysctl), sysctlBefore);
        EXPECT_FALSE(std::filesystem::exists(state / "app-routes"));

        // Nothing left to mark removes the table as well.
        table.apply({T::direct, {{a, T::proxy}}});
        EXPECT_EQ(table.apply({T::direct, {}}), std::vector<AppRoute>{});
        EXPECT_EQ(nft({"list", "ruleset"}), before);
        EXPECT_EQ(readWholeFile(kSysctl), sysctlBefore);
    });
}

TEST(AppRouteTable, AFailedFirstLoadAndRecoveryAfterACrashLeaveNothingChanged) {
    inCgroupWorld([] {
        addForeignTable();
        const auto before = nft({"list", "ruleset"});
        testing::TempDir state;
        const auto journal = state / "app-routes";

        // A host whose /sys/fs/cgroup is not cgroup2 (legacy or hybrid), where a path names a
        // plain folder that nft would take for a cgroup.
        ASSERT_EQ(::mount("tmpfs", "/sys/fs/cgroup", "tmpfs", 0, nullptr), 0);
        std::filesystem::create_directories("/sys/fs/cgroup/user.slice/app-a.scope");
        EXPECT_THROW(AppRouteTable("tun0", journal)
                         .apply({AppRouteTarget::proxy, {{"user.slice/app-a.scope"}}}),
                     std::runtime_error);
        EXPECT_EQ(nft({"list", "ruleset"}), before);
        EXPECT_EQ(readWholeFile(kSysctl), "0\n");
        EXPECT_FALSE(std::filesystem::exists(journal));
        ASSERT_EQ(::umount("/sys/fs/cgroup"), 0);

        TestCgroups cgroups;
        const auto a = cgroups.scope("app-a.scope");
        {
            AppRouteTable crashed("tun0", journal);
            crashed.apply({AppRouteTarget::proxy, {{a, AppRouteTarget::direct}}});
        }
        ASSERT_EQ(readWholeFile(kSysctl), "1\n");
        EXPECT_TRUE(AppRouteTable::recoverFromJournal(journal));
        EXPECT_EQ(nft({"list", "ruleset"}), before);
        EXPECT_EQ(readWholeFile(kSysctl), "0\n");
        EXPECT_FALSE(AppRouteTable::recoverFromJournal(journal));

        // A file that is not our journal says nothing about what to take back.
        writeFileAtomically(journal, "nimbrad-routes 3\n");
        EXPECT_THROW(AppRouteTable::recoverFromJournal(journal), std::runtime_error);
        EXPECT_EQ(readWholeFile(journal), "nimbrad-routes 3\n");

        // What nft refuses comes back as one sentence of its own words.
        try {
            runNftBatch("add rule inet nowhere c meta mark 1\n");
            ADD_FAILURE() << "nft accepted a rule for a table that does not exist";
        } catch (const NftError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "nftables refused the change: Could not process rule: No such file or "
                      "directory");
        }
    });
}

}  // namespace
}  // namespace nimbra::nimbrad
