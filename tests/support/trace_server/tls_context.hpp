#pragma once

#include <asio/ssl/context.hpp>
#include <filesystem>

namespace nimbra::trace_server {

// A TLS 1.2+ server context serving `certFile` (a PEM chain, leaf first) with `keyFile`. Offers
// http/1.1 through ALPN when the client asks for it. Throws std::runtime_error naming the file
// that could not be loaded.
asio::ssl::context makeTlsContext(const std::filesystem::path& certFile,
                                  const std::filesystem::path& keyFile);

}  // namespace nimbra::trace_server
