#pragma once

#include <string_view>

namespace nimbra::testing {

// What trace-server answers when given no --body or --body-file: a trace of a client that is on
// WARP. Shared with TraceServerProcess so tests can compare against it.
inline constexpr std::string_view kDefaultTraceBody =
    "fl=1\n"
    "h=www.cloudflare.com\n"
    "ip=104.28.1.1\n"
    "ts=0\n"
    "visit_scheme=https\n"
    "uag=curl\n"
    "colo=SJC\n"
    "http=http/1.1\n"
    "loc=US\n"
    "tls=TLSv1.3\n"
    "sni=plaintext\n"
    "warp=on\n"
    "gateway=off\n"
    "rbi=off\n"
    "kex=X25519\n";

}  // namespace nimbra::testing
