#include "nimbrad/control_request.hpp"

#include <cstdint>

namespace nimbra::nimbrad {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    char32_t code = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
        code = code << 6 | (byte(i) & 0x3fu);
    }
    if (length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) return 0;
    if (length == 4 && (code < 0x10000 || code > 0x10ffff)) return 0;
    return length;
}

void appendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

// A cursor over the request line; every parse step either advances it or records why not.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    bool fail(std::string why) {
        if (error_.empty()) error_ = std::move(why);
        return false;
    }

    void skipSpace() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool atEnd() {
        skipSpace();
        return pos_ == text_.size();
    }
    bool consume(char expected) {
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == expected) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool expect(char expected, std::string_view what) {
        return consume(expected) || fail("expected " + std::string(what));
    }

    std::optional<std::string> string() {
        if (!consume('"')) {
            fail("expected a string");
            return std::nullopt;
        }
        std::string out;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) break;
            if (c == '\\') {
                if (!escape(out)) return std::nullopt;
                continue;
            }
            const std::size_t length = utf8Length(text_.substr(pos_));
            if (length == 0) {
                fail("invalid UTF-8 in a string");
                return std::nullopt;
            }
            out.append(text_.substr(pos_, length));
            pos_ += length;
        }
        fail(pos_ < text_.size() ? "control character in a string" : "unterminated string");
        return std::nullopt;
    }

private:
    std::optional<char32_t> hex4() {
        if (text_.size() - pos_ < 4) return std::nullopt;
        char32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return std::nullopt;
            value = value << 4 | static_cast<char32_t>(digit);
        }
        return value;
    }

    bool escape(std::string& out) {
        ++pos_;  // the backslash
        if (pos_ >= text_.size()) return fail("unterminated string");
        const char kind = text_[pos_++];
        switch (kind) {
            case '"':
            case '\\':
            case '/':
                out += kind;
                return true;
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                return fail("control character in a string");
            case 'u':
                break;
            default:
                return fail("bad escape in a string");
        }
        auto code = hex4();
        if (!code) return fail("bad \\u escape");
        if (*code >= 0xd800 && *code <= 0xdbff) {
            if (text_.substr(pos_, 2) != "\\u") return fail("lone surrogate in a string");
            pos_ += 2;
            const auto low = hex4();
            if (!low || *low < 0xdc00 || *low > 0xdfff) return fail("lone surrogate in a string");
            code = 0x10000 + ((*code - 0xd800) << 10) + (*low - 0xdc00);
        } else if (*code >= 0xdc00 && *code <= 0xdfff) {
            return fail("lone surrogate in a string");
        }
        if (*code < 0x20 || *code == 0x7f) return fail("control character in a string");
        appendUtf8(out, *code);
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
};

bool readArgs(Reader& reader, std::vector<std::string>& args) {
    if (!reader.expect('[', "an array for \"args\"")) return false;
    if (reader.consume(']')) return true;
    do {
        if (args.size() == kMaxRequestArgs) return reader.fail("too many arguments");
        auto arg = reader.string();
        if (!arg) return false;
        args.push_back(std::move(*arg));
    } while (reader.consume(','));
    return reader.expect(']', "',' or ']' in \"args\"");
}

}  // namespace

std::optional<Request> parseRequest(std::string_view line, std::string& error) {
    Reader reader(line);
    Request request;
    bool haveCmd = false;
    bool haveArgs = false;
    const auto members = [&] {
        if (!reader.expect('{', "a JSON object")) return false;
        if (reader.consume('}')) return true;
        do {
            const auto key = reader.string();
            if (!key || !reader.expect(':', "':' after a key")) return false;
            if (*key == "cmd") {
                if (haveCmd) return reader.fail("\"cmd\" given twice");
                haveCmd = true;
                auto cmd = reader.string();
                if (!cmd) return reader.fail("\"cmd\" must be a string");
                request.cmd = std::move(*cmd);
            } else if (*key == "args") {
                if (haveArgs) return reader.fail("\"args\" given twice");
                haveArgs = true;
                if (!readArgs(reader, request.args)) return false;
            } else {
                return reader.fail("unexpected key " + jsonString(key->substr(0, 32)));
            }
        } while (reader.consume(','));
        return reader.expect('}', "',' or '}'");
    };
    if (!members() || (!reader.atEnd() && !reader.fail("text after the object"))) {
        error = reader.error();
        return std::nullopt;
    }
    if (!haveCmd || request.cmd.empty()) {
        error = "missing \"cmd\"";
        return std::nullopt;
    }
    return request;
}

std::string jsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            const std::size_t length = utf8Length(text.substr(pos));
            if (length == 0) {
                out += "\xef\xbf\xbd";
                ++pos;
                continue;
            }
            out.append(text.substr(pos, length));
            pos += length;
            continue;
        }
        ++pos;
    }
    return out + "\"";
}

std::string replyJson(bool ok, std::string_view msg) {
    std::string out = ok ? "{\"ok\":true" : "{\"ok\":false";
    if (!msg.empty()) out += ",\"msg\":" + jsonString(msg);
    return out + "}";
}

}  // namespace nimbra::nimbrad
