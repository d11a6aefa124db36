#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
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
#include "engine/usque_error.hpp"
#include "engine/usque_output.hpp"
#include "model/connection_mode.hpp"
#include "model/timings.hpp"
#include "system/process_table.hpp"

namespace nimbra {

// Supervises usque serving SOCKS5 on 127.0.0.1:<socksPort>: finds it, registers a device,
// launches `usque socks` for QUIC or HTTP/2, watches its output for readiness, adopts a healthy
// usque that already serves the port, and stops it. Thread-safe; every field is guarded by one
// mutex that is never held across a launch, a wait or a sleep (a second one only keeps starts
// apart).
//
// A stop may come while a start is still on its way (preparing, clearing the port, launching,
// waiting for readiness). Every stop advances a generation; a start that began under an older one
// gives up at its next step, ends the child it launched itself (never a newer start's) and throws
// StartStopped. Starts run one at a time and begin only once the stops under way have finished,
// so a stop's port clearing never hits the child of a start that came after it.
class UsqueEngine : public TunnelEngine {
public:
    // What startSocks throws when it was overtaken by stop() or stopProcessOnly(): the attempt
    // was called off, usque did not fail. Whatever the attempt had launched is gone again.
    class StartStopped : public UsqueError {
    public:
        StartStopped();
    };

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
    // One call of startUsque: the stop generation it began under, and its number, which tags the
    // child it launches and that child's output.
    struct Attempt {
        std::uint64_t generation;
        std::uint64_t id;
    };

    void startUsque(const std::vector<std::string>& arguments, bool requireSocksAccept,
                    bool preferHttp2);
    Attempt beginAttempt();
    bool stoppedSince(const Attempt& attempt) const;  // with mutex_ held
    void throwIfStopped(const Attempt& attempt);
    bool tryAdoptHealthyListener(bool preferHttp2, const Attempt& attempt);
    void clearPort(std::chrono::milliseconds wait, const Attempt* attempt);
    void launch(const std::vector<std::string>& arguments, const Attempt& attempt);
    void awaitReadiness(bool requireSocksAccept, const Attempt& attempt);
    void registerDevice(const std::filesystem::path& config);
    class StopScope;
    void stopProcess();
    void stopOwnChild(std::optional<std::uint64_t> onlyOf = std::nullopt);
    void onOutputLine(std::uint64_t attempt, std::string line);
    void onOutputEnd(std::uint64_t attempt);
    int storedSocksPort() const;

    const int socksPort_;
    const Timings timings_;
    ProcessTable& processes_;
    PreferenceStore& store_;

    std::mutex startMutex_;  // one start at a time; never taken by a stop

    mutable std::mutex mutex_;
    // A line arrived, the output ended, a stop began or the last running stop finished.
    std::condition_variable changed_;
    std::uint64_t stopGeneration_ = 0;  // advanced by every stop
    int stopsRunning_ = 0;
    std::uint64_t lastAttempt_ = 0;
    std::uint64_t launchedBy_ = 0;               // the attempt that launched the newest child
    mutable std::optional<Subprocess> process_;  // running() reaps, hence mutable
    std::unique_ptr<OutputLineReader> reader_;
    std::optional<pid_t> adoptedPid_;
    bool masqueReady_ = false;
    bool outputEnded_ = false;  // the current child's output reached its end
    UsqueOutput output_;
    ConnectionMode activeMode_ = ConnectionMode::socks;
};

}  // namespace nimbra
