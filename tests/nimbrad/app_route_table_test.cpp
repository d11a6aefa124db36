// The per-app nftables table against the real kernel and nft, in namespaces of the test's own:
// the host's nftables, sysctls and cgroups are never touched.

#include "nimbrad/app_route_table.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
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
#include "support/private_cgroup.hpp"
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

// Runs `body` in a private network namespace (the sysctl is per namespace) and a private mount
// namespace with cgroup2 at /sys/fs/cgroup, where nft looks. An exception fails the test rather
// than ending the program with the test's cgroups left behind.
void inCgroupWorld(const std::function<void(testing::PrivateCgroups&)>& body) {
    const auto failure = testing::inPrivateCgroup([&](testing::PrivateCgroups& cgroups) {
        ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        try {
            body(cgroups);
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
    inCgroupWorld([](testing::PrivateCgroups& cgroups) {
        const auto scope = [&](const std::string& name) {
            cgroups.create(cgroups.scratch() + "/" + name);
            return cgroups.scratch() + "/" + name;
        };
        const auto a = scope("app-a.scope");
        const auto inner = scope("app-a.scope/inner");
        const auto b = scope("app-b\\x2dx@1.service");
        const auto gone = scope("gone.scope");
        // A cgroup a user may name as they like inside their own slice, made to end nft's
        // quoted string and go on as rules of its own.
        const auto hostile = scope("h\" meta mark set 0x6e620002 accept #");
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
             {{2, a, kDirectMark}, {2, b, kProxyMark}}},
            // The deeper cgroup comes last, so its mark is the one its packets keep.
            {{{inner, T::proxy}, {b, T::direct}, {a, T::direct}},
             {{b, T::direct}, {a, T::direct}, {inner, T::proxy}},
             {{2, b, kDirectMark}, {2, a, kDirectMark}, {3, inner, kProxyMark}}},
            // `gone` was there when the caller checked it and vanishes before the load.
            {{{gone, T::proxy}, {hostile, T::proxy}, {a, T::direct}},
             {{a, T::direct}},
             {{2, a, kDirectMark}}},
        };
        for (const auto& step : steps) {
            if (step.asked.front().path == gone) ::rmdir(cgroups.absolute(gone).c_str());
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
    inCgroupWorld([](testing::PrivateCgroups& cgroups) {
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

        const auto a = cgroups.scratch();
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
