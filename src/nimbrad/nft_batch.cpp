#include "nimbrad/nft_batch.hpp"

#include <nftables/libnftables.h>

#include <memory>
#include <string_view>

namespace nimbra::nimbrad {
namespace {

struct ContextFree {
    void operator()(nft_ctx* context) const { nft_ctx_free(context); }
};
using Context = std::unique_ptr<nft_ctx, ContextFree>;

// nft reports each problem as "<where>: Error: <what>" followed by the offending command and a
// line of carets under the culprit. The sentences after "Error: " are what a reader needs; the
// echo and carets would only break a log line apart.
std::string errorSentences(std::string_view text) {
    constexpr std::string_view kMarker = "Error: ";
    std::string sentences;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        if (const auto at = line.find(kMarker); at != std::string_view::npos) {
            if (!sentences.empty()) sentences += "; ";
            sentences += line.substr(at + kMarker.size());
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return sentences;
}

}  // namespace

void runNftBatch(const std::string& commands) {
    const Context context(nft_ctx_new(NFT_CTX_DEFAULT));
    if (!context) throw NftError("nftables: cannot create a libnftables context");
    // Buffered, so nothing of libnftables' lands on the daemon's own stdout or stderr.
    if (nft_ctx_buffer_output(context.get()) != 0 || nft_ctx_buffer_error(context.get()) != 0) {
        throw NftError("nftables: cannot buffer libnftables' output");
    }
    if (nft_run_cmd_from_buffer(context.get(), commands.c_str()) == 0) return;
    const char* buffered = nft_ctx_get_error_buffer(context.get());
    const std::string_view text = buffered ? buffered : "";
    const auto sentences = errorSentences(text);
    throw NftError(
        "nftables refused the change: " +
        (sentences.empty() ? std::string(text.empty() ? "no reason given" : text) : sentences));
}

}  // namespace nimbra::nimbrad
