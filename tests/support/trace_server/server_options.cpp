#include "server_options.hpp"

#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "default_body.hpp"

namespace nimbra::trace_server {

const std::string_view kUsage =
    "usage: trace-server [options]\n"
    "\n"
    "Serves GET /cdn-cgi/trace over HTTPS on 127.0.0.1.\n"
    "Prints 'listening tcp=<port>' once ready; runs until SIGTERM or SIGINT.\n"
    "\n"
    "  --port N            TCP port to listen on (default 0: pick a free one)\n"
    "  --bind ADDR         address to listen on (default 127.0.0.1); another address only\n"
    "                      inside a network namespace that a test has made for itself\n"
    "  --body TEXT         response body of /cdn-cgi/trace (default: a WARP-on trace)\n"
    "  --body-file PATH    read the response body from PATH instead\n"
    "  --status N          HTTP status of /cdn-cgi/trace (default 200)\n"
    "  --cert PATH         server certificate chain, PEM (default: the test certificate)\n"
    "  --key PATH          its private key, PEM (default: the test key)\n"
    "  --exit-with-parent  exit as soon as the process that started this one is gone\n"
    "  --help              show this text\n";

namespace {

int parseInt(std::string_view option, std::string_view text, int min, int max) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value < min || value > max) {
        std::ostringstream message;
        message << option << " wants a whole number from " << min << " to " << max << ", not '"
                << text << "'";
        throw UsageError(message.str());
    }
    return value;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read --body-file " + path.string());
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw UsageError("cannot read --body-file " + path.string());
    return content;
}

}  // namespace

ServerOptions parseCommandLine(int argc, char** argv) {
    ServerOptions options;
    options.certFile = std::filesystem::path(NIMBRA_TRACE_CERT_DIR) / "server.pem";
    options.keyFile = std::filesystem::path(NIMBRA_TRACE_CERT_DIR) / "server.key";

    std::optional<std::string> body;
    std::optional<std::filesystem::path> bodyFile;

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> inlineValue;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != name.npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const auto value = [&]() -> std::string_view {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) throw UsageError(std::string(name) + " wants a value");
            return args[++i];
        };
        const auto flag = [&] {
            if (inlineValue) throw UsageError(std::string(name) + " takes no value");
        };

        if (name == "--port") {
            options.port = parseInt(name, value(), 0, 65535);
        } else if (name == "--bind") {
            options.bindAddress = std::string(value());
        } else if (name == "--body") {
            body = std::string(value());
        } else if (name == "--body-file") {
            bodyFile = std::filesystem::path(std::string(value()));
        } else if (name == "--status") {
            options.status = parseInt(name, value(), 200, 599);
        } else if (name == "--cert") {
            options.certFile = std::string(value());
        } else if (name == "--key") {
            options.keyFile = std::string(value());
        } else if (name == "--exit-with-parent") {
            flag();
            options.exitWithParent = true;
        } else if (name == "--help" || name == "-h") {
            options.showHelp = true;
        } else {
            throw UsageError("unknown option '" + std::string(args[i]) + "'");
        }
    }

    if (body && bodyFile) throw UsageError("give either --body or --body-file, not both");
    if (bodyFile) {
        options.body = readFile(*bodyFile);
    } else {
        options.body = body ? *body : std::string(testing::kDefaultTraceBody);
    }
    return options;
}

}  // namespace nimbra::trace_server
