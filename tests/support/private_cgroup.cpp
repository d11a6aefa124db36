#include "support/private_cgroup.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <ranges>
#include <thread>

namespace nimbra::testing {
namespace {

std::string ownCgroup() {
    std::ifstream in("/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("0::")) return line.substr(3);
    }
    return "/";
}

bool writeLine(const std::string& file, const std::string& text) {
    std::ofstream out(file);
    out << text << '\n';
    out.flush();
    return static_cast<bool>(out);
}

// Moves every process left in `cgroup` to `home`, then removes it. A process that has just been
// ended may keep its cgroup busy for a moment after it exits.
void removeCgroup(const std::string& cgroup, const std::string& home) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::ifstream procs(cgroup + "/cgroup.procs");
        // One that has exited meanwhile cannot be moved, and needs not be.
        for (std::string pid; std::getline(procs, pid);) writeLine(home + "/cgroup.procs", pid);
        if (::rmdir(cgroup.c_str()) == 0 || errno == ENOENT) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "cannot remove " << cgroup << ": " << std::strerror(errno);
}

}  // namespace

PrivateCgroups::PrivateCgroups() : home_(absolute(ownCgroup().substr(1))) {
    static std::atomic<int> made{0};
    scratch_ = "nimbra-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
    create(scratch_);
}

PrivateCgroups::~PrivateCgroups() {
    for (const std::string& cgroup : std::views::reverse(created_)) removeCgroup(cgroup, home_);
}

std::string PrivateCgroups::absolute(std::string_view relativePath) const {
    std::string path(kMountPoint);
    if (!relativePath.empty()) path.append("/").append(relativePath);
    return path;
}

std::string PrivateCgroups::create(std::string_view relativePath) {
    std::string path(kMountPoint);
    for (std::string_view rest = relativePath; !rest.empty();) {
        const auto slash = rest.find('/');
        path.append("/").append(rest.substr(0, slash));
        if (::mkdir(path.c_str(), 0755) == 0) {
            created_.push_back(path);
        } else if (errno != EEXIST) {
            ADD_FAILURE() << "cannot create " << path << ": " << std::strerror(errno);
        }
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    }
    return path;
}

void PrivateCgroups::place(pid_t pid, std::string_view relativePath) const {
    const std::string procs = absolute(relativePath) + "/cgroup.procs";
    if (!writeLine(procs, std::to_string(pid)))
        ADD_FAILURE() << "cannot move " << pid << " to " << procs;
}

std::string inPrivateCgroup(const std::function<void(PrivateCgroups&)>& body) {
    std::string failure;
    std::thread thread([&] {
        const std::string mountPoint(PrivateCgroups::kMountPoint);
        // Private all the way down first: a mount made under a shared parent would show up in
        // the machine's own namespace too.
        if (::unshare(CLONE_NEWNS) != 0) {
            failure = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            failure = std::string("making / private: ") + std::strerror(errno);
        } else if (::mount("cgroup2", mountPoint.c_str(), "cgroup2",
                           MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
            failure = "mounting cgroup2 at " + mountPoint + ": " + std::strerror(errno);
        } else {
            PrivateCgroups cgroups;
            body(cgroups);
        }
    });
    thread.join();
    return failure;
}

}  // namespace nimbra::testing
