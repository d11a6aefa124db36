#include "daemon/daemon_install_text.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>

#include "daemon/daemon_error.hpp"

namespace nimbra::daemon_install {

void refuseControlCharacters(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) continue;
        std::string shown;
        for (const char d : text) {
            const auto b = static_cast<unsigned char>(d);
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", b);
            shown += b >= 0x20 && b != 0x7f ? std::string(1, d) : std::string(escaped);
        }
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x", byte);
        throw DaemonError(DaemonError::InstallFailed{
            "\"" + shown + "\" holds the control character " + code +
            ", which a service file cannot carry; use a folder without one"});
    }
}

std::string shellQuote(std::string_view text) {
    refuseControlCharacters(text);
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string xmlEscape(std::string_view text) {
    refuseControlCharacters(text);
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string systemdArgument(std::string_view text) {
    refuseControlCharacters(text);
    const bool plain = !text.empty() && text.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789/._-:+,=@") == std::string_view::npos;
    if (plain) return std::string(text);
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '%':
                quoted += "%%";
                break;
            case '$':
                quoted += "$$";
                break;
            default:
                quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string systemdPath(std::string_view text) {
    refuseControlCharacters(text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return quoted + '"';
}

std::optional<std::string> sha256OfFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    std::array<char, 64 * 1024> chunk{};
    while (in) {
        in.read(chunk.data(), chunk.size());
        const auto got = in.gcount();
        if (got > 0 &&
            EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(got)) != 1) {
            return std::nullopt;
        }
    }
    if (in.bad()) return std::nullopt;
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return std::nullopt;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0f];
    }
    return hex;
}

}  // namespace nimbra::daemon_install
