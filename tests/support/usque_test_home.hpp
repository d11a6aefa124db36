#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/preference_store.hpp"
#include "base/subprocess.hpp"
#include "support/line_reader.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::testing {

// A private machine for engine tests: HOME, XDG directories and preferences in a temp dir, the
// usque stand-in first on PATH, curl trusting the test CA, and a free loopback port for SOCKS.
class UsqueTestHome {
public:
    UsqueTestHome();
    // Puts the environment back, newest knob first, so a variable set twice ends as it began.
    ~UsqueTestHome();

    const TempDir& dir() const { return dir_; }
    std::filesystem::path home() const { return dir_.path(); }
    std::filesystem::path workDirectory() const;
    PreferenceStore& store() { return *store_; }
    int port() const { return port_; }

    // Sets a stand-in knob (an environment variable) for the rest of the test.
    void knob(const std::string& name, const std::string& value);

    // Points the stand-in's resolver for the trace host at a local trace server.
    void routeTraceHostTo(int tcpPort);

    // Writes a registration where the engine keeps it, so no test registers unless it means to.
    void writeRegistration() const;

private:
    TempDir dir_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    std::unique_ptr<PreferenceStore> store_;
    int port_ = 0;
};

// A loopback TCP port that was free a moment ago.
int freeLoopbackPort();

// A usque stand-in started by the test itself, as if it had been left over by an earlier run.
class PriorUsque {
public:
    PriorUsque(const UsqueTestHome& home, bool http2);
    pid_t pid() const { return process_->pid(); }
    // Whether it has exited (it is our child: the exit is collected here).
    bool exited() { return !process_->running(); }

private:
    std::optional<Subprocess> process_;
    std::unique_ptr<LineReader> stderr_;
};

}  // namespace nimbra::testing
