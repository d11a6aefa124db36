// How long per-app routing takes from an application's unit appearing to its packets being
// marked, step by step: the client hears the unit (inotify, with the product's 20 ms settle),
// scans the user's slice, and nimbrad loads the nftables table, beside `nft -f` loading the same
// table as the peer. Needs root: it runs in a network namespace and a private cgroup2 mount of
// its own. Prints figures; the goal (100 ms) is in bench/README.md.
//
//   sudo build/<dir>/bin/bench_app_routes [--runs N]

#include <sched.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "apprules/app_unit_scan.hpp"
#include "base/subprocess.hpp"
#include "nimbrad/app_route_table.hpp"
#include "observe/cgroup_tree_watcher.hpp"
#include "support/private_cgroup.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace nimbra;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

constexpr auto kSettle = std::chrono::milliseconds(20);  // the controller's kAppUnitSettle
const std::string kSlice = "user.slice/user-0.slice/user@0.service/app.slice/";

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

void row(const std::string& what, const std::vector<double>& samples) {
    if (samples.empty()) {
        std::printf("  %-50s %6s\n", what.c_str(), "n/a");
        return;
    }
    std::printf("  %-50s %6.2f ms  (max %.2f)\n", what.c_str(), median(samples),
                *std::max_element(samples.begin(), samples.end()));
}

// From mkdir of a unit's cgroup to the watcher's callback.
std::vector<double> hearing(testing::PrivateCgroups& cgroups, int runs) {
    cgroups.create(kSlice);
    asio::io_context io;
    Clock::time_point heard;
    CgroupTreeWatcher watcher(io.get_executor(), cgroups.absolute(kSlice), kSettle,
                              [&] { heard = Clock::now(); });
    if (!watcher.start()) return {};
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        const auto made = Clock::now();
        cgroups.create(kSlice + "app-gnome-bench.heard-" + std::to_string(i) + ".scope");
        heard = {};
        const auto limit = made + std::chrono::seconds(5);
        while (heard == Clock::time_point{} && Clock::now() < limit) {
            io.run_one_for(std::chrono::seconds(1));
        }
        if (heard == Clock::time_point{}) {
            std::fprintf(stderr, "bench_app_routes: no unit heard within 5 s\n");
            return {};
        }
        samples.push_back(Ms(heard - made).count());
    }
    return samples;
}

std::vector<nimbrad::AppRoute> unitsToRoute(testing::PrivateCgroups& cgroups, int count) {
    std::vector<nimbrad::AppRoute> routes;
    for (int i = 0; i < count; ++i) {
        const auto path = kSlice + "app-gnome-bench.app-" + std::to_string(i) + ".scope";
        cgroups.create(path);
        routes.push_back(
            {path, i % 2 ? nimbrad::AppRouteTarget::proxy : nimbrad::AppRouteTarget::direct});
    }
    return routes;
}

std::string listedTable() {
    Subprocess::Options options;
    options.argv = {"nft", "list", "table", "inet", "nimbra_apps"};
    return Subprocess::run(std::move(options), std::chrono::seconds(10)).out;
}

void measure(testing::PrivateCgroups& cgroups, int runs) {
    std::printf("one unit appearing, step by step (median of %d):\n", runs);
    row("client hears the unit (20 ms settle included)", hearing(cgroups, runs));
    for (const int count : {1, 50, 512}) {
        const auto routes = unitsToRoute(cgroups, count);
        std::vector<double> scan, ours, peer;
        const testing::TempDir state;
        nimbrad::AppRouteTable table("nimbra0", state / "apps");
        for (int i = 0; i < runs; ++i) {
            auto start = Clock::now();
            const auto units = apprules::scanAppUnits("/sys/fs/cgroup", 0);
            scan.push_back(Ms(Clock::now() - start).count());
            start = Clock::now();
            table.apply({nimbrad::AppRouteTarget::proxy, routes});
            ours.push_back(Ms(Clock::now() - start).count());
        }
        // The peer loads the very table ours made, from a file, as a script would.
        std::ofstream(state / "table.nft")
            << "add table inet nimbra_apps\ndelete table inet nimbra_apps\n"
            << listedTable();
        for (int i = 0; i < runs; ++i) {
            Subprocess::Options options;
            options.argv = {"nft", "-f", (state / "table.nft").string()};
            const auto start = Clock::now();
            Subprocess::run(std::move(options), std::chrono::seconds(10));
            peer.push_back(Ms(Clock::now() - start).count());
        }
        table.remove();
        const std::string n = std::to_string(count) + (count == 1 ? " unit" : " units");
        row("client scans the slice, " + n, scan);
        row("nimbrad loads the table (libnftables), " + n, ours);
        row("peer: nft -f of the same table, " + n, peer);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 15;
    if (argc == 3 && std::string(argv[1]) == "--runs") runs = std::max(3, std::atoi(argv[2]));
    const std::string failure = testing::inPrivateCgroup([&](testing::PrivateCgroups& cgroups) {
        if (::unshare(CLONE_NEWNET) != 0) {
            std::perror("unshare(CLONE_NEWNET)");
            return;
        }
        measure(cgroups, runs);
    });
    if (!failure.empty()) {
        std::fprintf(stderr, "bench_app_routes: %s (run it as root)\n", failure.c_str());
        return 1;
    }
    return 0;
}
