#include "engine/usque_engine.hpp"

#include <csignal>
#include <cstring>
#include <utility>

#include "base/log.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "engine/tunnel_probes.hpp"
#include "engine/usque_error.hpp"
#include "engine/usque_locator.hpp"
#include "model/app_preferences.hpp"
#include "system/platform_profile.hpp"
#include "system/process_control.hpp"

extern char** environ;

namespace nimbra {
namespace {

constexpr std::string_view kLog = "usque";

std::filesystem::path ensuredWorkDirectory() {
    auto directory = paths::workDirectory();
    std::error_code ignored;  // a directory that cannot be made shows up as a later error
    std::filesystem::create_directories(directory, ignored);
    return directory;
}

std::string yesNo(bool value) {
    return value ? "true" : "false";
}

// SIGTERM, then after `grace` SIGKILL to the group; returns once the child is reaped.
void endChild(Subprocess& child, std::chrono::milliseconds grace) {
    if (!child.running()) return;
    child.signal(SIGTERM);
    if (!child.wait(grace)) {
        child.signal(SIGINT);
        child.kill();
        child.wait();
    }
}

}  // namespace

UsqueEngine::StartStopped::StartStopped()
    : UsqueError(UsqueError::LaunchFailed{"stopped while starting"}) {}

UsqueEngine::UsqueEngine(int socksPort) : UsqueEngine(socksPort, Environment{}) {}

UsqueEngine::UsqueEngine(int socksPort, Environment environment)
    : socksPort_(socksPort),
      timings_(environment.timings),
      processes_(environment.processes ? *environment.processes : ProcessTable::system()),
      store_(environment.store ? *environment.store : PreferenceStore::standard()) {}

UsqueEngine::~UsqueEngine() {
    // Our own child goes with us; an adopted usque was never ours to end here.
    stopOwnChild();
}

std::filesystem::path UsqueEngine::configPath() {
    return paths::workDirectory() / "config.json";
}

std::vector<std::string> UsqueEngine::socksArguments(int port, bool http2) {
    std::vector<std::string> arguments{
        "socks",     "-c", configPath().string(), "-b",
        "127.0.0.1", "-p", std::to_string(port),  "--always-reconnect",
        "-k",        "15s"};
    if (http2) arguments.emplace_back("--http2");
    return arguments;
}

std::vector<std::string> UsqueEngine::childEnvironment() {
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view variable(*entry);
        if (variable.starts_with("LD_PRELOAD=") || variable.starts_with("DYLD_INSERT_LIBRARIES=")) {
            continue;
        }
        environment.emplace_back(variable);
    }
    return environment;
}

int UsqueEngine::storedSocksPort() const {
    return AppPreferences(store_).socksPort();
}

// ---- state -----------------------------------------------------------------------------------

bool UsqueEngine::isRunning() const {
    std::lock_guard lock(mutex_);
    if (!masqueReady_) return false;
    if (process_) return process_->running();
    return adoptedPid_ && !process_control::isGone(*adoptedPid_);
}

std::vector<std::string> UsqueEngine::recentLines() const {
    std::lock_guard lock(mutex_);
    return {output_.recent().begin(), output_.recent().end()};
}

// Only the newest child's lines are kept: a child being stopped for an older attempt may still
// say it is ready, and that must not read as the readiness of the one launched after it.
void UsqueEngine::onOutputLine(std::uint64_t attempt, std::string line) {
    logLine(kLog, line);
    {
        std::lock_guard lock(mutex_);
        if (attempt != launchedBy_) return;
        if (output_.add(std::move(line))) masqueReady_ = true;
    }
    changed_.notify_all();
}

void UsqueEngine::onOutputEnd(std::uint64_t attempt) {
    {
        std::lock_guard lock(mutex_);
        if (attempt != launchedBy_) return;
        outputEnded_ = true;
    }
    changed_.notify_all();
}

// ---- preparing ------------------------------------------------------------------------------

std::filesystem::path UsqueEngine::resolveBinary() const {
    return usque_locator::resolve();
}

void UsqueEngine::ensureReady() {
    usque_locator::resolve();
    ensuredWorkDirectory();
    const auto config = configPath();
    if (std::filesystem::exists(config)) return;

    // An existing registration of the user's own usque is reused instead of registering anew.
    const auto own = paths::homeDirectory() / ".config" / "usque" / "config.json";
    if (std::filesystem::exists(own)) {
        std::filesystem::copy_file(own, config);
        return;
    }
    registerDevice(config);
}

void UsqueEngine::registerDevice(const std::filesystem::path& config) {
    Subprocess::Options options;
    options.argv = {resolveBinary().string(),
                    "register",
                    "-a",
                    "-c",
                    config.string(),
                    "-n",
                    PlatformProfile::current().usqueDeviceName};
    options.environment = childEnvironment();
    options.workingDirectory = ensuredWorkDirectory();
    options.output = Subprocess::Output::joined;
    // Registration talks to the provider; a wedged one must not hold a connect attempt forever.
    auto result = Subprocess::run(std::move(options), timings_.masqueReadiness);
    const std::string output = text::isValidUtf8(result.out) ? result.out : std::string();
    if (result.status.code != 0 || !std::filesystem::exists(config)) {
        throw UsqueError(UsqueError::RegisterFailed{result.status.code, output});
    }
}

// ---- starting -------------------------------------------------------------------------------

void UsqueEngine::startSocks(bool http2) {
    startUsque(socksArguments(socksPort_, http2), /*requireSocksAccept=*/true, http2);
}

void UsqueEngine::startUsque(const std::vector<std::string>& arguments, bool requireSocksAccept,
                             bool preferHttp2) {
    std::lock_guard serial(startMutex_);
    const Attempt attempt = beginAttempt();
    if (isRunning()) return;
    bool stale = false;
    {
        std::lock_guard lock(mutex_);
        stale = (process_ && process_->running()) || adoptedPid_.has_value();
    }
    if (stale) stopProcess();  // alive but never ready: replace it

    ensureReady();
    throwIfStopped(attempt);
    if (requireSocksAccept && tryAdoptHealthyListener(preferHttp2, attempt)) return;
    throwIfStopped(attempt);

    clearPort(timings_.portFreeBeforeStart, &attempt);
    throwIfStopped(attempt);
    if (!processes_.listenerPids(socksPort_).empty()) {
        throw UsqueError(UsqueError::PortInUse{socksPort_});
    }
    launch(arguments, attempt);
    awaitReadiness(requireSocksAccept, attempt);
}

UsqueEngine::Attempt UsqueEngine::beginAttempt() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopsRunning_ == 0; });
    return {stopGeneration_, ++lastAttempt_};
}

bool UsqueEngine::stoppedSince(const Attempt& attempt) const {
    return stopGeneration_ != attempt.generation;
}

// A start that a stop has overtaken ends what it launched itself, if the stop has not already,
// and gives up.
void UsqueEngine::throwIfStopped(const Attempt& attempt) {
    {
        std::lock_guard lock(mutex_);
        if (!stoppedSince(attempt)) return;
    }
    stopOwnChild(attempt.id);
    logLine(kLog, "start called off: stopped while starting");
    throw StartStopped();
}

// Ends every usque that listens on our port (other owners are left alone), then waits for it. A
// start (`attempt` given) stops waiting as soon as a stop overtakes it.
void UsqueEngine::clearPort(std::chrono::milliseconds wait, const Attempt* attempt) {
    const auto overtaken = [&] {
        std::lock_guard lock(mutex_);
        return attempt && stoppedSince(*attempt);
    };
    for (pid_t pid : processes_.listenerPids(socksPort_)) {
        if (overtaken()) return;
        if (process_control::commandLineMentionsUsque(processes_.processArgs(pid))) {
            process_control::terminatePid(pid, timings_.pidPoll);
        }
    }
    if (!attempt) {
        process_control::waitUntilPortFree(processes_, socksPort_, wait, timings_.pidPoll);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!processes_.listenerPids(socksPort_).empty() &&
           std::chrono::steady_clock::now() < deadline) {
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, timings_.pidPoll, [&] { return stoppedSince(*attempt); })) {
            return;
        }
    }
}

void UsqueEngine::launch(const std::vector<std::string>& arguments, const Attempt& attempt) {
    Subprocess::Options options;
    options.argv.push_back(resolveBinary().string());
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment = childEnvironment();
    options.workingDirectory = ensuredWorkDirectory();
    options.output = Subprocess::Output::joined;

    std::optional<Subprocess> child;
    try {
        child.emplace(Subprocess::start(std::move(options)));
    } catch (const SubprocessError& e) {
        throw UsqueError(UsqueError::LaunchFailed{std::strerror(e.code())});
    }
    UniqueFd output(child->releaseStdout());

    // The child becomes the engine's in the same step that checks for a stop, so a stop either
    // finds it or is seen here. What a failed earlier start left behind is dropped outside the
    // lock: its reader's thread may still be waiting for the lock to hand over a last line.
    std::optional<Subprocess> previous;
    std::unique_ptr<OutputLineReader> previousReader;
    bool stopped = false;
    {
        std::lock_guard lock(mutex_);
        stopped = stoppedSince(attempt);
        if (!stopped) {
            previous = std::exchange(process_, std::move(child));
            previousReader = std::move(reader_);
            launchedBy_ = attempt.id;
            masqueReady_ = false;
            outputEnded_ = false;
            output_.clear();
            adoptedPid_.reset();
            activeMode_ = ConnectionMode::socks;
        }
    }
    if (stopped) {
        endChild(*child, timings_.childStopGrace);
        throwIfStopped(attempt);
    }
    previousReader.reset();

    // Read only now that the lines count as this child's; until then the pipe holds them.
    const std::uint64_t id = attempt.id;
    auto reader = std::make_unique<OutputLineReader>(
        std::move(output), [this, id](std::string line) { onOutputLine(id, std::move(line)); },
        [this, id] { onOutputEnd(id); });
    {
        std::lock_guard lock(mutex_);
        if (process_ && launchedBy_ == id) reader_ = std::move(reader);
    }
    // Otherwise a stop took the child meanwhile; the reader ends here, outside the lock, and the
    // wait for readiness sees the stop.
}

// Waits for a readiness line, reacting to each line and to a stop at once rather than on the next
// poll. A child that has exited counts as failed even if it announced readiness first.
void UsqueEngine::awaitReadiness(bool requireSocksAccept, const Attempt& attempt) {
    const auto deadline = std::chrono::steady_clock::now() + timings_.masqueReadiness;
    std::unique_lock lock(mutex_);
    while (std::chrono::steady_clock::now() < deadline) {
        // Only a stop takes the child away from its start, and it advances the generation first.
        if (stoppedSince(attempt)) break;
        if (!process_ || !process_->running()) {
            // The exit can be seen before the reader has handed over the last lines; those
            // lines are the explanation, so wait (briefly) for the end of the output.
            changed_.wait_for(lock, timings_.readinessPoll,
                              [&] { return outputEnded_ || stoppedSince(attempt); });
            if (stoppedSince(attempt)) break;
            std::string hint = output_.hint();
            lock.unlock();
            if (hint.empty()) hint = "usque exited early";
            if (UsqueError::isBindFailureHint(hint)) {
                throw UsqueError(UsqueError::PortInUse{socksPort_});
            }
            throw UsqueError(UsqueError::ExitedEarly{hint, storedSocksPort()});
        }
        if (masqueReady_) break;
        changed_.wait_until(
            lock, std::min(deadline, std::chrono::steady_clock::now() + timings_.readinessPoll));
    }
    const bool ready = masqueReady_;
    std::string hint = output_.hint();
    lock.unlock();

    throwIfStopped(attempt);
    if (!ready) {
        stopOwnChild(attempt.id);
        throw UsqueError(
            UsqueError::MasqueTimeout{hint.empty() ? "timeout waiting for MASQUE" : hint});
    }
    if (requireSocksAccept && !tunnel_probes::socksAccepts(socksPort_)) {
        throwIfStopped(attempt);
        stopOwnChild(attempt.id);
        throw UsqueError(UsqueError::SocksNotReady{socksPort_});
    }
    throwIfStopped(attempt);  // a stop during the probe: the tunnel must not read as up
}

bool UsqueEngine::tryAdoptHealthyListener(bool preferHttp2, const Attempt& attempt) {
    std::optional<pid_t> candidate;
    std::string arguments;
    for (pid_t pid : processes_.listenerPids(socksPort_)) {
        arguments = processes_.processArgs(pid);
        if (process_control::commandLineMentionsUsque(arguments)) {
            candidate = pid;
            break;
        }
    }
    if (!candidate) return false;
    const std::string pid = std::to_string(*candidate);

    const bool hasHttp2 = text::containsCaseInsensitive(arguments, "--http2");
    if (hasHttp2 != preferHttp2) {
        logLine(kLog, "skip adopt pid=" + pid + ": http2 mismatch (want=" + yesNo(preferHttp2) +
                          " have=" + yesNo(hasHttp2) + ")");
        return false;
    }
    if (!tunnel_probes::socksAccepts(socksPort_)) {
        logLine(kLog, "skip adopt pid=" + pid + ": SOCKS accept failed");
        return false;
    }
    if (!tunnel_probes::warpOnThroughSocks(socksPort_)) {
        logLine(kLog, "skip adopt pid=" + pid + ": warp!=on");
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        if (stoppedSince(attempt)) return false;  // the stop has ended it, or will
        process_.reset();
        adoptedPid_ = *candidate;
        masqueReady_ = true;
        output_.clear();
        activeMode_ = ConnectionMode::socks;
    }
    logLine(kLog, "adopted healthy listener pid=" + pid + " on :" + std::to_string(socksPort_));
    return true;
}

// ---- stopping -------------------------------------------------------------------------------

// Held by every stop from outside for as long as it runs: it calls off the starts under way,
// and a start that comes later waits until it is over.
class UsqueEngine::StopScope {
public:
    explicit StopScope(UsqueEngine& engine) : engine_(engine) {
        {
            std::lock_guard lock(engine_.mutex_);
            ++engine_.stopGeneration_;
            ++engine_.stopsRunning_;
        }
        engine_.changed_.notify_all();
    }
    ~StopScope() {
        {
            std::lock_guard lock(engine_.mutex_);
            --engine_.stopsRunning_;
        }
        engine_.changed_.notify_all();
    }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    UsqueEngine& engine_;
};

void UsqueEngine::stopProcessOnly() {
    StopScope scope(*this);
    stopProcess();
}

void UsqueEngine::stop() {
    StopScope scope(*this);
    stopProcess();
    clearPort(timings_.portFreeWait, nullptr);
}

void UsqueEngine::stopProcess() {
    std::optional<pid_t> adopted;
    {
        std::lock_guard lock(mutex_);
        adopted = std::exchange(adoptedPid_, std::nullopt);
    }
    stopOwnChild();
    if (!adopted) return;
    // The pid was remembered when it was adopted; since then usque may have gone and the pid been
    // handed to an unrelated process. Signal it only while it still looks like usque.
    if (!process_control::commandLineMentionsUsque(processes_.processArgs(*adopted))) {
        logLine(kLog, "forget adopted pid=" + std::to_string(*adopted) + ": no longer usque");
        return;
    }
    process_control::terminatePid(*adopted, timings_.pidPoll);
}

// Ends our child; with `onlyOf`, only if that attempt launched it, so the clean-up of a start
// that was called off never touches the child of a newer one.
void UsqueEngine::stopOwnChild(std::optional<std::uint64_t> onlyOf) {
    std::optional<Subprocess> child;
    std::unique_ptr<OutputLineReader> reader;
    {
        std::lock_guard lock(mutex_);
        if (onlyOf && *onlyOf != launchedBy_) return;
        child = std::exchange(process_, std::nullopt);
        reader = std::move(reader_);
        masqueReady_ = false;
    }
    if (child) endChild(*child, timings_.childStopGrace);
    reader.reset();  // after the child: its last words are still logged
}

}  // namespace nimbra
