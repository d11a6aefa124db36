#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/trace_parser.hpp"
#include "diagnostics/trace_probe.hpp"
#include "diagnostics/url_loader_fallback.hpp"

// Finds out where traffic leaves -- exit address, location, data centre, and whether it is on
// WARP -- by fetching the provider's trace document over HTTPS, either through the tunnel's SOCKS5
// listener or straight from this machine.
//
// Every operation blocks (up to about 12 s per curl run, about 36 s for the whole direct chain),
// so callers run them off the UI thread. None throws: every failure is a failed TraceProbe with an
// error text. No state is kept between calls; calls on different threads are independent.
namespace nimbra::ExitProbe {

// curl's own limits for one probe: the whole transfer (-m) and the connection phase
// (--connect-timeout), in seconds.
struct CurlLimits {
    int totalSeconds = 12;
    int connectSeconds = 8;
};

using nimbra::parseTrace;

// "https://" + the trace host (deployment::traceHost()) + "/cdn-cgi/trace".
std::string traceUrl();

// The trace through the SOCKS5 listener on 127.0.0.1:<port>; the proxy resolves the host name,
// so this needs no local name service. The engine's quicker tunnel check passes tighter limits.
TraceProbe fetchViaCurlSocks(int port, CurlLimits limits = {});

// The trace straight from this machine, by host name, over IPv4, ignoring any proxy settings.
TraceProbe fetchViaCurlDirect();

// The trace straight from this machine to the provider's anycast resolver address
// (deployment::anycastResolver()) on port 443, over IPv4, with no name lookup at all.
TraceProbe fetchViaCurlDirectIP();

// The direct chain: fetchViaCurlDirect(); if that did not fetch a trace, fetchViaCurlDirectIP();
// if that did not either, fetchViaLibcurl() with the first step's error. The first fetched result
// is returned as it is.
TraceProbe fetchDirect();

// The pieces the curl probes are made of, exposed for tests.
namespace detail {

inline constexpr std::string_view kSocksFailure = "curl socks5h probe failed (";
inline constexpr std::string_view kDirectFailure = "curl direct probe failed (";
inline constexpr std::string_view kDirectIpFailure = "curl ipv4 probe failed (";

// curl limits itself to 12 s (-m 12); this only guards against a curl that hangs anyway.
inline constexpr std::chrono::milliseconds kCurlSafetyTimeout{15'000};

// The complete command lines, program first.
std::vector<std::string> socksCommand(int port, CurlLimits limits = {});
std::vector<std::string> directCommand();
std::vector<std::string> directIpCommand();

// Runs `argv` with only PATH and HOME in its environment, stdout and stderr apart, and turns the
// outcome into a probe:
// - cannot launch: failed, with the launch error's description;
// - exit 0: parseTrace of stdout (stdout that is not valid UTF-8 counts as empty);
// - any other exit: failed, with curlFailure() of it;
// - still running after `safetyTimeout`: killed; failed, with `failureText`, the status and ")".
TraceProbe runCurl(std::vector<std::string> argv, std::string_view failureText,
                   std::chrono::milliseconds safetyTimeout = kCurlSafetyTimeout);

// The error of a curl run that exited with `status`: its stderr without surrounding whitespace,
// or -- when that is empty or not valid UTF-8 -- `failureText`, the status in decimal and ")",
// e.g. "curl socks5h probe failed (7)".
std::string curlFailure(std::string_view failureText, int status, std::string_view stderrText);

}  // namespace detail

}  // namespace nimbra::ExitProbe
