#include "cli_run.hpp"

#include <signal.h>

#include "support/trace_server_process.hpp"
#include "system/process_table.hpp"

namespace nimbra::e2e {

namespace {

Subprocess startCli(const std::vector<std::string>& args, const std::vector<std::string>& prefix) {
    Subprocess::Options options;
    options.argv = prefix;
    options.argv.emplace_back(NIMBRA_CLI);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    return Subprocess::start(std::move(options));
}

}  // namespace

CliRun::CliRun(const std::vector<std::string>& args, const std::vector<std::string>& prefix)
    : process_(startCli(args, prefix)), out_(process_.releaseStdout()) {}

CliRun::~CliRun() {
    if (process_.running()) process_.signal(SIGTERM);
    finish();
}

int CliRun::finish() {
    auto status = process_.wait(kWait);
    if (!status) {
        process_.kill();
        status = process_.wait();
    }
    out_.readToEnd(kWait);
    err_ += process_.takeStderr();
    return status->code;
}

std::string curl(const std::string& url, const std::string& proxy) {
    Subprocess::Options options;
    options.argv = {"curl",    "-sS",      "--max-time",
                    "60",      "--cacert", testing::TraceServerProcess::caFile(),
                    "--proxy", proxy,      url};
    const auto result = Subprocess::run(std::move(options), kWait);
    return result.out + result.err;
}

bool listening(int port) {
    return !ProcessTable::system().listenerPids(port).empty();
}

bool inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    auto want = expected.begin();
    for (const auto& line : lines) {
        if (want != expected.end() && line.find(*want) != std::string::npos) ++want;
    }
    return want == expected.end();
}

}  // namespace nimbra::e2e
