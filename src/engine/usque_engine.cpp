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

}  // namespace

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

void UsqueEngine::onOutputLine(std::string line) {
    logLine(kLog, line);
    {
        std::lock_guard lock(mutex_);
        if (output_.add(std::move(line))) masqueReady_ = true;
    }
    changed_.notify_all();
}

void UsqueEngine::onOutputEnd() {
    {
        std::lock_guard lock(mutex_);
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
    if (isRunning()) return;
    bool stale = false;
    {
        std::lock_guard lock(mutex_);
        stale = (process_ && process_->running()) || adoptedPid_.has_value();
    }
    if (stale) stopProcessOnly();  // alive but never ready: replace it

    ensureReady();
    if (requireSocksAccept && tryAdoptHealthyListener(preferHttp2)) return;

    clearPort(timings_.portFreeBeforeStart);
    if (!processes_.listenerPids(socksPort_).empty()) {
        throw UsqueError(UsqueError::PortInUse{socksPort_});
    }
    {
        std::lock_guard lock(mutex_);
        masqueReady_ = false;
        output_.clear();
        adoptedPid_.reset();
        activeMode_ = ConnectionMode::socks;
    }
    launch(arguments);
    awaitReadiness(requireSocksAccept);
}

// Ends every usque that listens on our port (other owners are left alone), then waits for it.
void UsqueEngine::clearPort(std::chrono::milliseconds wait) {
    for (pid_t pid : processes_.listenerPids(socksPort_)) {
        if (process_control::commandLineMentionsUsque(processes_.processArgs(pid))) {
            process_control::terminatePid(pid, timings_.pidPoll);
        }
    }
    process_control::waitUntilPortFree(processes_, socksPort_, wait, timings_.pidPoll);
}

void UsqueEngine::launch(const std::vector<std::string>& arguments) {
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
    auto reader = std::make_unique<OutputLineReader>(
        UniqueFd(child->releaseStdout()),
        [this](std::string line) { onOutputLine(std::move(line)); }, [this] { onOutputEnd(); });

    // What a failed earlier start left behind is dropped outside the lock: its reader's thread
    // may still be waiting for the lock to hand over a last line.
    std::optional<Subprocess> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(process_, std::move(child));
        outputEnded_ = false;
        std::swap(reader_, reader);
        adoptedPid_.reset();
    }
}

// Waits for a readiness line, reacting to each line at once rather than on the next poll. A child
// that has exited counts as failed even if it announced readiness first.
void UsqueEngine::awaitReadiness(bool requireSocksAccept) {
    const auto deadline = std::chrono::steady_clock::now() + timings_.masqueReadiness;
    std::unique_lock lock(mutex_);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!process_ || !process_->running()) {
            // The exit can be seen before the reader has handed over the last lines; those
            // lines are the explanation, so wait (briefly) for the end of the output.
            changed_.wait_for(lock, timings_.readinessPoll, [this] { return outputEnded_; });
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

    if (!ready) {
        stopProcessOnly();
        throw UsqueError(
            UsqueError::MasqueTimeout{hint.empty() ? "timeout waiting for MASQUE" : hint});
    }
    if (requireSocksAccept && !tunnel_probes::socksAccepts(socksPort_)) {
        stopProcessOnly();
        throw UsqueError(UsqueError::SocksNotReady{socksPort_});
    }
}

bool UsqueEngine::tryAdoptHealthyListener(bool preferHttp2) {
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

void UsqueEngine::stopProcessOnly() {
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

void UsqueEngine::stopOwnChild() {
    std::optional<Subprocess> child;
    std::unique_ptr<OutputLineReader> reader;
    {
        std::lock_guard lock(mutex_);
        child = std::exchange(process_, std::nullopt);
        reader = std::move(reader_);
        masqueReady_ = false;
    }
    if (child && child->running()) {
        child->signal(SIGTERM);
        if (!child->wait(timings_.childStopGrace)) {
            child->signal(SIGINT);
            child->kill();
            child->wait();
        }
    }
    reader.reset();  // after the child: its last words are still logged
}

void UsqueEngine::stop() {
    stopProcessOnly();
    clearPort(timings_.portFreeWait);
}

}  // namespace nimbra
