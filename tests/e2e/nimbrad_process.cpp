#include "nimbrad_process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <system_error>
#include <thread>

#include "base/atomic_file.hpp"
#include "base/unique_fd.hpp"
#include "confined_service.hpp"
#include "daemon/service_sandbox.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kWait = 60s;

}  // namespace

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (auto deadline = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        if (condition()) return true;
    }
    return condition();
}

std::string requestLine(const std::string& cmd, const std::vector<std::string>& args) {
    nlohmann::json line = {{"cmd", cmd}};
    if (!args.empty()) line["args"] = args;
    return line.dump();
}

std::string askSocket(const std::string& path, const std::string& line) {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
    const timeval timeout{30, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = line + "\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n =
            ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the daemon may hang up on a request it will not read
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd.get(), SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
    while (!reply.empty() && reply.back() == '\n') reply.pop_back();
    return reply;
}

std::string routingOf(const NamespaceWorld& world) {
    std::string all;
    for (const auto& command :
         std::vector<std::vector<std::string>>{{"ip", "rule"},
                                               {"ip", "-6", "rule"},
                                               {"ip", "route", "show", "table", "all"},
                                               {"ip", "-6", "route", "show", "table", "all"},
                                               {"nft", "list", "ruleset"},
                                               {"sysctl", "net.ipv4.conf.all.src_valid_mark"}}) {
        all += "# " + command.back() + "\n" + world.output(NamespaceWorld::Ns::client, command);
    }
    return all;
}

fs::path NimbradProcess::program() {
    return fs::path(NIMBRA_CLI).parent_path() / "nimbrad";
}

void giveToDaemonUser(const fs::path& folder) {
    const auto give = [](const fs::path& path) {
        if (::lchown(path.c_str(), kDaemonUser, kDaemonUser) != 0)
            throw std::system_error(errno, std::generic_category(), "lchown " + path.string());
    };
    give(folder);
    for (const auto& entry : fs::recursive_directory_iterator(folder)) give(entry.path());
}

std::vector<std::string> asDaemonUser(std::vector<std::string> argv) {
    const std::string id = std::to_string(kDaemonUser);
    argv.insert(argv.begin(),
                {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"});
    return argv;
}

fs::path NimbradProcess::installUsque(const fs::path& folder) {
    const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(folder, readable);
    const fs::path copy = folder / "usque";
    fs::copy_file(fs::path(NIMBRA_STANDIN_DIR) / "usque", copy);
    fs::permissions(copy, readable);
    return copy;
}

NimbradProcess::NimbradProcess(const NamespaceWorld& world, Options options)
    : options_(std::move(options)),
      process_(world.start(
          NamespaceWorld::Ns::client,
          [&] {
              // Made before the start, with the mode the unit's StateDirectory= gives it: the
              // daemon itself may not create folders outside its writable ones.
              fs::create_directories(options_.stateDirectory);
              fs::permissions(options_.stateDirectory, fs::perms::owner_all);
              // clang-format off
              const std::vector<std::string> argv = {program().string(),
                  "-config", options_.config.string(),
                  "-usque-config", options_.registration.string(),
                  "-sock", options_.socket.string(),
                  "-listen", "127.0.0.1:53",
                  "-log", options_.log.string(),
                  "-usque", options_.usque.string(),
                  "-state-dir", options_.stateDirectory.string(),
                  "-resolv-conf", options_.resolvConf.string(),
                  "-allow-uid", std::to_string(kDaemonUser)};
              // clang-format on
              // Confined as its unit confines it, writing where the unit lets it write.
              auto writable =
                  service_sandbox::writableFolders({.socket = options_.socket,
                                                    .stateDirectory = options_.stateDirectory,
                                                    .resolverFile = options_.resolvConf,
                                                    .userFolder = options_.config.parent_path()});
              for (auto& setting : service_sandbox::writableKernelSettings())
                  writable.push_back(std::move(setting));
              return asConfinedService(argv, writable);
          }(),
          [&] {
              std::vector<std::string> env = {"USQUE_STANDIN_FAR_END=" + world.farEndSocket()};
              env.insert(env.end(), options_.environment.begin(), options_.environment.end());
              return env;
          }(),
          Subprocess::Output::discard)) {
    EXPECT_TRUE(eventually([&] { return answering(); })) << "nimbrad does not answer\n" << log();
}

NimbradProcess::~NimbradProcess() {
    if (!process_.running()) return;
    process_.signal(SIGTERM);
    if (!process_.wait(kWait)) process_.kill();
}

bool NimbradProcess::answering() const {
    return ask(requestLine("ping")).find("pong") != std::string::npos;
}

std::string NimbradProcess::ask(const std::string& line) const {
    return askSocket(options_.socket.string(), line);
}

nlohmann::json NimbradProcess::status() const {
    const auto reply = nlohmann::json::parse(ask(requestLine("status")), nullptr, false);
    return reply.is_object() && reply.contains("status") ? reply["status"]
                                                         : nlohmann::json::object();
}

bool NimbradProcess::statusSays(const char* field, bool value) const {
    const auto now = status();
    return now.contains(field) && now[field] == value;
}

pid_t NimbradProcess::usquePid() const {
    const std::string text = readWholeFile(options_.stateDirectory / "usque.pid").value_or("");
    pid_t pid = 0;
    std::from_chars(text.data(), text.data() + text.size(), pid);
    return pid;
}

std::string NimbradProcess::log() const {
    return readWholeFile(options_.log).value_or("");
}

void NimbradWorldTest::SetUp() {
    if (const auto why = NamespaceWorld::unavailable(); !why.empty()) GTEST_SKIP() << why;
    if (!fs::exists(NimbradProcess::program()))
        GTEST_SKIP() << "nimbrad is not built: " << NimbradProcess::program();
    world_.emplace();
    usque_ = NimbradProcess::installUsque(dir_.path());
    std::ofstream(resolvConf_) << "# the LAN's resolver\nnameserver " << kRouterAddress
                               << "\noptions edns0\n";
}

void NimbradWorldTest::TearDown() {
    if (HasFailure() && daemon_) std::cerr << "--- nimbrad log\n" << daemon_->log() << "--- end\n";
    daemon_.reset();
}

void NimbradWorldTest::startDaemon(const fs::path& config, const fs::path& registration,
                                   const fs::path& log, std::vector<std::string> environment) {
    daemon_.reset();
    daemon_.emplace(*world_, NimbradProcess::Options{.config = config,
                                                     .registration = registration,
                                                     .resolvConf = resolvConf_,
                                                     .stateDirectory = dir_ / "state",
                                                     .log = log,
                                                     .socket = socket_,
                                                     .usque = usque_,
                                                     .environment = std::move(environment)});
}

Subprocess::Options NimbradWorldTest::inApp(const std::string& cgroup,
                                            std::vector<std::string> argv) const {
    Subprocess::Options options;
    options.argv = {"nsenter", "--net=" + world_->path(NamespaceWorld::Ns::client),         "sh",
                    "-c",      R"(echo $$ >"/sys/fs/cgroup/$0/cgroup.procs" && exec "$@")", cgroup};
    options.argv.insert(options.argv.end(), argv.begin(), argv.end());
    return options;
}

std::string NimbradWorldTest::warpIn(const std::string& cgroup) const {
    return NamespaceWorld::warpOf(
        Subprocess::run(inApp(cgroup, NamespaceWorld::traceCommand()), std::chrono::seconds(120)));
}

std::string NimbradWorldTest::resolver() const {
    return readWholeFile(resolvConf_).value_or("");
}

}  // namespace nimbra::e2e
