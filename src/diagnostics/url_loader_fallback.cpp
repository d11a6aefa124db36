#include "diagnostics/url_loader_fallback.hpp"

#include <curl/curl.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>

#include "base/text.hpp"
#include "diagnostics/exit_probe.hpp"
#include "diagnostics/trace_parser.hpp"

namespace nimbra::ExitProbe {

namespace {

constexpr long kTimeoutSeconds = 12;
// A trace is a few hundred bytes; anything past this is not one, and is not worth the memory.
constexpr std::size_t kBodyLimit = 1 << 20;

// curl_global_init is not thread-safe and must run once before anything else in libcurl.
CURLcode initializeLibcurl() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

size_t collectBody(char* bytes, size_t size, size_t count, void* userdata) {
    auto* body = static_cast<std::string*>(userdata);
    const size_t length = size * count;
    if (body->size() + length > kBodyLimit) return 0;  // fails the transfer (CURLE_WRITE_ERROR)
    body->append(bytes, length);
    return length;
}

TraceProbe transportFailure(CURLcode code, const std::optional<std::string>& firstStepError) {
    if (firstStepError) return TraceProbe::failed(*firstStepError);
    return TraceProbe::failed(curl_easy_strerror(code));
}

TraceProbe fetch(const std::string& url, const std::optional<std::string>& firstStepError) {
    const CURLcode initialized = initializeLibcurl();
    if (initialized != CURLE_OK) return transportFailure(initialized, firstStepError);

    const std::unique_ptr<CURLU, UrlDeleter> parsedUrl(curl_url());
    if (!parsedUrl) return transportFailure(CURLE_OUT_OF_MEMORY, firstStepError);
    if (curl_url_set(parsedUrl.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return TraceProbe::failed(std::string(kBadTraceUrlError));
    }

    const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return transportFailure(CURLE_FAILED_INIT, firstStepError);
    CURL* handle = easy.get();

    std::string body;
    curl_easy_setopt(handle, CURLOPT_CURLU, parsedUrl.get());
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    // An empty proxy disables every proxy, including those named by environment variables;
    // "*" in the no-proxy list says the same once more for any proxy set some other way.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTimeoutSeconds);
    // Without this, libcurl times out name lookups with SIGALRM, which is not safe in a process
    // with other threads.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    if (const char* caFile = std::getenv("NIMBRA_TRACE_CA_FILE"); caFile != nullptr && *caFile) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, caFile);
    }

    const CURLcode performed = curl_easy_perform(handle);
    if (performed == CURLE_URL_MALFORMAT) return TraceProbe::failed(std::string(kBadTraceUrlError));
    if (performed != CURLE_OK) return transportFailure(performed, firstStepError);

    return parseTrace(text::isValidUtf8(body) ? std::string_view(body) : std::string_view());
}

}  // namespace

TraceProbe fetchViaLibcurl(const std::string& url,
                           const std::optional<std::string>& firstStepError) {
    try {
        return fetch(url, firstStepError);
    } catch (const std::exception& error) {
        return TraceProbe::failed(error.what());
    }
}

TraceProbe fetchViaLibcurl(const std::optional<std::string>& firstStepError) {
    try {
        return fetchViaLibcurl(traceUrl(), firstStepError);
    } catch (const std::exception& error) {
        return TraceProbe::failed(error.what());
    }
}

}  // namespace nimbra::ExitProbe
