#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/trace_probe.hpp"

// The last step of the direct exit chain: the trace fetched in-process with libcurl rather than
// by running the curl program, so it still works when /usr/bin/curl is missing or broken.
namespace nimbra::ExitProbe {

// What a trace URL that libcurl cannot parse is reported as.
inline constexpr std::string_view kBadTraceUrlError = "bad trace URL";

// GETs traceUrl() with every proxy disabled (environment variables included), 12 s for the
// connection and 12 s for the whole transfer, and no redirects followed.
// - An answer with any HTTP status: parseTrace of its body (a body that is not valid UTF-8
//   counts as empty).
// - A URL that does not parse: failed, kBadTraceUrlError.
// - A transport failure: failed, with `firstStepError` when given, else libcurl's description
//   of the failure (curl_easy_strerror) -- the first step's text is usually the more telling one.
//
// The system CA store is used. Test hook: when NIMBRA_TRACE_CA_FILE is set and not empty, that
// PEM file is trusted instead, so tests can point the trace host at a local server.
//
// Blocks for up to about 12 s; never throws; safe to call from several threads at once.
TraceProbe fetchViaLibcurl(const std::optional<std::string>& firstStepError);

// The same against an explicit URL.
TraceProbe fetchViaLibcurl(const std::string& url,
                           const std::optional<std::string>& firstStepError);

}  // namespace nimbra::ExitProbe
