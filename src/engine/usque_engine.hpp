#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/preference_store.hpp"
#include "base/subprocess.hpp"
#include "engine/output_line_reader.hpp"
#include "engine/tunnel_engine.hpp"
#include "engine/usque_output.hpp"
#include "model/connection_mode.hpp"
#include "model/timings.hpp"
#include "system/process_table.hpp"

namespace nimbra {

// Supervises usque serving SOCKS5 on 127.0.0.1:<socksPort>: finds it, registers a device,
// launches `usque socks` for QUIC or HTTP/2, watches its output for readiness, adopts a healthy
// usque that already serves the port, and stops it. Thread-safe; every field is guarded by one
// mutex that is never held across a launch, a wait or a sleep.
class UsqueEngine : public TunnelEngine {
public:
    struct Environment {
        Timings timings = Timings::standard();
        ProcessTable* processes = nullptr;  // default: the system's
        PreferenceStore* store = nullptr;   // for the stored port in messages; default: standard
    };

    explicit UsqueEngine(int socksPort);
    UsqueEngine(int socksPort, Environment environment);
    ~UsqueEngine() override;

    int socksPort() const override { return socksPort_; }
    bool isRunning() const override;
    std::filesystem::path resolveBinary() const override;
    void ensureReady() override;
    void startSocks(bool http2) override;
    void stopProcessOnly() override;
    void stop() override;

    // The usque registration file in the per-user work directory.
    static std::filesystem::path configPath();
    // The launch arguments of `usque socks` after the program name.
    static std::vector<std::string> socksArguments(int port, bool http2);
    // The environment usque runs with: ours, minus library injection.
    static std::vector<std::string> childEnvironment();

    // For tests: the lines the engine currently remembers, oldest first.
    std::vector<std::string> recentLines() const;

private:
    void startUsque(const std::vector<std::string>& arguments, bool requireSocksAccept,
                    bool preferHttp2);
    bool tryAdoptHealthyListener(bool preferHttp2);
    void clearPort(std::chrono::milliseconds wait);
    void launch(const std::vector<std::string>& arguments);
    void awaitReadiness(bool requireSocksAccept);
    void registerDevice(const std::filesystem::path& config);
    void stopOwnChild();
    void onOutputLine(std::string line);
    void onOutputEnd();
    int storedSocksPort() const;

    const int socksPort_;
    const Timings timings_;
    ProcessTable& processes_;
    PreferenceStore& store_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;            // a line arrived or the output ended
    mutable std::optional<Subprocess> process_;  // running() reaps, hence mutable
    std::unique_ptr<OutputLineReader> reader_;
    std::optional<pid_t> adoptedPid_;
    bool masqueReady_ = false;
    bool outputEnded_ = false;  // the current child's output reached its end
    UsqueOutput output_;
    ConnectionMode activeMode_ = ConnectionMode::socks;
};

}  // namespace nimbra
