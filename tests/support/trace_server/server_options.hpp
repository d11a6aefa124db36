#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace nimbra::trace_server {

// Everything the command line can set. See kUsage for what each option means.
struct ServerOptions {
    int port = 0;  // 0: let the kernel pick a free one
    std::string bindAddress = "127.0.0.1";
    std::string body;  // the /cdn-cgi/trace response body
    int status = 200;
    bool exitWithParent = false;
    std::filesystem::path certFile;
    std::filesystem::path keyFile;
    bool showHelp = false;
};

// A command line trace-server cannot run with; the message says what is wrong with it.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

extern const std::string_view kUsage;

// Parses argv. Also reads --body-file, so a missing file is reported before anything listens.
// Throws UsageError.
ServerOptions parseCommandLine(int argc, char** argv);

}  // namespace nimbra::trace_server
