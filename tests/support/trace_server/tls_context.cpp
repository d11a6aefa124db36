#include "tls_context.hpp"

#include <openssl/ssl.h>

#include <asio/ssl.hpp>
#include <stdexcept>
#include <string>
#include <system_error>

namespace nimbra::trace_server {

namespace {

// The only protocol spoken here; a client that offers only h2 gets no ALPN answer at all, which
// curl and Go both read as HTTP/1.1.
int selectHttp11(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
                 unsigned int inLength, void*) {
    static constexpr unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, kHttp11, sizeof kHttp11, in, inLength) !=
        OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_NOACK;
    }
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

asio::ssl::context makeTlsContext(const std::filesystem::path& certFile,
                                  const std::filesystem::path& keyFile) {
    asio::ssl::context context(asio::ssl::context::tls_server);
    context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                        asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                        asio::ssl::context::no_tlsv1_1);

    std::error_code error;
    context.use_certificate_chain_file(certFile.string(), error);
    if (error) {
        throw std::runtime_error("cannot load certificate " + certFile.string() + ": " +
                                 error.message());
    }
    context.use_private_key_file(keyFile.string(), asio::ssl::context::pem, error);
    if (error) {
        throw std::runtime_error("cannot load private key " + keyFile.string() + ": " +
                                 error.message());
    }
    if (SSL_CTX_check_private_key(context.native_handle()) != 1) {
        throw std::runtime_error("private key " + keyFile.string() + " does not match " +
                                 certFile.string());
    }
    SSL_CTX_set_alpn_select_cb(context.native_handle(), selectHttp11, nullptr);
    return context;
}

}  // namespace nimbra::trace_server
