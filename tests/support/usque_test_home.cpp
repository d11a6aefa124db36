#include "support/usque_test_home.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/trace_server_process.hpp"

namespace nimbra::testing {

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

UsqueTestHome::UsqueTestHome() : port_(freeLoopbackPort()) {
    const std::string path = std::string(NIMBRA_STANDIN_DIR) + ":/usr/bin:/bin";
    knob("PATH", path);
    knob("HOME", home().string());
    knob("XDG_CONFIG_HOME", (home() / ".config").string());
    knob("XDG_DATA_HOME", (home() / ".local" / "share").string());
    knob("NIMBRA_PREFERENCES_FILE", (home() / "preferences.json").string());
    TraceServerProcess::writeCurlHome(home());
    store_ = std::make_unique<PreferenceStore>(home() / "preferences.json");
    store_->setInteger("socks_port", port_);
}

std::filesystem::path UsqueTestHome::workDirectory() const {
    return home() / ".local" / "share" / "Nimbra";
}

UsqueTestHome::~UsqueTestHome() {
    while (!env_.empty()) env_.pop_back();
}

void UsqueTestHome::knob(const std::string& name, const std::string& value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
}

void UsqueTestHome::routeTraceHostTo(int tcpPort) {
    knob("USQUE_STANDIN_HOSTS", "www.cloudflare.com=127.0.0.1:" + std::to_string(tcpPort));
}

void UsqueTestHome::writeRegistration() const {
    std::filesystem::create_directories(workDirectory());
    std::ofstream(workDirectory() / "config.json") << R"({"endpoint_v6": "2606:4700:103::1"})";
}

PriorUsque::PriorUsque(const UsqueTestHome& home, bool http2) {
    Subprocess::Options options;
    options.argv = {std::string(NIMBRA_STANDIN_DIR) + "/usque",
                    "socks",
                    "-c",
                    (home.workDirectory() / "config.json").string(),
                    "-b",
                    "127.0.0.1",
                    "-p",
                    std::to_string(home.port()),
                    "--always-reconnect",
                    "-k",
                    "15s"};
    if (http2) options.argv.emplace_back("--http2");
    process_.emplace(Subprocess::start(std::move(options)));
    stderr_ = std::make_unique<LineReader>(process_->releaseStderr());
    if (!stderr_->waitFor("Connected to MASQUE server", std::chrono::seconds(5))) {
        throw std::runtime_error("prior usque did not come up: " + stderr_->transcript());
    }
}

}  // namespace nimbra::testing
