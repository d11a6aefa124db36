#include "diagnostics/exit_probe.hpp"

#include <exception>
#include <utility>

#include "base/deployment.hpp"
#include "base/paths.hpp"
#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "system/platform_profile.hpp"

namespace nimbra::ExitProbe {

namespace detail {

std::vector<std::string> socksCommand(int port, CurlLimits limits) {
    return {PlatformProfile::current().curl,
            "-sS",
            "-m",
            std::to_string(limits.totalSeconds),
            "--connect-timeout",
            std::to_string(limits.connectSeconds),
            "-x",
            "socks5h://127.0.0.1:" + std::to_string(port),
            traceUrl()};
}

std::vector<std::string> directCommand() {
    return {PlatformProfile::current().curl,
            "-sS",
            "-4",
            "-m",
            "12",
            "--connect-timeout",
            "8",
            "--noproxy",
            "*",
            traceUrl()};
}

std::vector<std::string> directIpCommand() {
    const std::string address = deployment::anycastResolver();
    return {PlatformProfile::current().curl,
            "-sS",
            "-4",
            "-m",
            "12",
            "--connect-timeout",
            "8",
            "--noproxy",
            "*",
            "--resolve",
            address + ":443:" + address,
            "https://" + address + "/cdn-cgi/trace"};
}

std::string curlFailure(std::string_view failureText, int status, std::string_view stderrText) {
    const std::string_view message =
        text::isValidUtf8(stderrText) ? text::trim(stderrText) : std::string_view();
    if (!message.empty()) return std::string(message);
    return std::string(failureText) + std::to_string(status) + ")";
}

TraceProbe runCurl(std::vector<std::string> argv, std::string_view failureText,
                   std::chrono::milliseconds safetyTimeout) {
    try {
        Subprocess::Options options;
        options.argv = std::move(argv);
        options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin:/usr/sbin:/sbin",
                                                       "HOME=" + paths::homeDirectory().string()};
        options.output = Subprocess::Output::separate;

        const Subprocess::RunResult result = Subprocess::run(std::move(options), safetyTimeout);
        if (result.timedOut) {
            // Killed by us, not failed by curl: whatever it wrote says nothing about why.
            return TraceProbe::failed(curlFailure(failureText, result.status.code, {}));
        }
        if (result.status.code == 0) {
            return parseTrace(text::isValidUtf8(result.out) ? std::string_view(result.out)
                                                            : std::string_view());
        }
        return TraceProbe::failed(curlFailure(failureText, result.status.code, result.err));
    } catch (const std::exception& error) {
        // SubprocessError says why the program could not be launched; the home directory lookup
        // and allocation are the only other things that can throw here.
        return TraceProbe::failed(error.what());
    }
}

}  // namespace detail

std::string traceUrl() {
    return "https://" + deployment::traceHost() + "/cdn-cgi/trace";
}

TraceProbe fetchViaCurlSocks(int port, CurlLimits limits) {
    try {
        // curl keeps its own limits; the safety margin only guards against a wedged child.
        const auto safety = std::chrono::seconds(limits.totalSeconds) + std::chrono::seconds(3);
        return detail::runCurl(detail::socksCommand(port, limits), detail::kSocksFailure, safety);
    } catch (const std::exception& error) {
        return TraceProbe::failed(error.what());
    }
}

TraceProbe fetchViaCurlDirect() {
    try {
        return detail::runCurl(detail::directCommand(), detail::kDirectFailure);
    } catch (const std::exception& error) {
        return TraceProbe::failed(error.what());
    }
}

TraceProbe fetchViaCurlDirectIP() {
    try {
        return detail::runCurl(detail::directIpCommand(), detail::kDirectIpFailure);
    } catch (const std::exception& error) {
        return TraceProbe::failed(error.what());
    }
}

TraceProbe fetchDirect() {
    TraceProbe direct = fetchViaCurlDirect();
    if (direct.fetched) return direct;
    TraceProbe byAddress = fetchViaCurlDirectIP();
    if (byAddress.fetched) return byAddress;
    return fetchViaLibcurl(direct.error);
}

}  // namespace nimbra::ExitProbe
