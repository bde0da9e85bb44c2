#include "Json.h"

#include <fmt/format.h>

namespace x2tables {
namespace {

// Nesting beyond this is refused rather than recursed into: input comes from
// pipes and must not be able to exhaust the stack.
constexpr int kMaxDepth = 64;

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    JsonValue document() {
        JsonValue v = value(0);
        space();
        if (pos_ != s_.size()) fail("trailing text");
        return v;
    }

private:
    [[noreturn]] void fail(std::string_view what) const {
        throw JsonError{fmt::format("JSON input: {} at byte {}", what, pos_)};
    }

    void space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }

    bool take(char c) {
        space();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    void expect(char c) {
        if (!take(c)) fail(fmt::format("expected '{}'", c));
    }

    bool word(std::string_view w) {
        if (s_.substr(pos_, w.size()) != w) return false;
        pos_ += w.size();
        return true;
    }

    JsonValue value(int depth) {
        if (depth > kMaxDepth) fail("nesting too deep");
        space();
        if (pos_ >= s_.size()) fail("unexpected end");
        JsonValue v;
        char const c = s_[pos_];
        if (c == '{') {
            ++pos_;
            v.type = JsonValue::Type::object;
            if (take('}')) return v;
            do {
                space();
                if (pos_ >= s_.size() || s_[pos_] != '"') fail("expected a member name");
                std::string key = string();
                expect(':');
                v.members.push_back(JsonMember{std::move(key), value(depth + 1)});
            } while (take(','));
            expect('}');
        } else if (c == '[') {
            ++pos_;
            v.type = JsonValue::Type::array;
            if (take(']')) return v;
            do v.items.push_back(value(depth + 1));
            while (take(','));
            expect(']');
        } else if (c == '"') {
            v.type = JsonValue::Type::string;
            v.text = string();
        } else if (word("true")) {
            v.type = JsonValue::Type::boolean;
            v.boolean = true;
        } else if (word("false")) {
            v.type = JsonValue::Type::boolean;
        } else if (word("null")) {
            v.type = JsonValue::Type::null;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            v.type = JsonValue::Type::number;
            std::size_t const start = pos_;
            while (pos_ < s_.size() && (std::string_view("+-.eE").find(s_[pos_]) != std::string_view::npos ||
                                        (s_[pos_] >= '0' && s_[pos_] <= '9')))
                ++pos_;
            v.text = std::string(s_.substr(start, pos_ - start));
        } else {
            fail(fmt::format("unexpected character '{}'", c));
        }
        return v;
    }

    // A string literal; \u escapes outside ASCII are refused (names and
    // values here are ASCII).
    std::string string() {
        ++pos_;  // opening quote
        std::string out;
        while (true) {
            if (pos_ >= s_.size()) fail("unterminated string");
            char c = s_[pos_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) fail("unterminated string");
            c = s_[pos_++];
            switch (c) {
                case '"': case '\\': case '/': out += c; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    if (pos_ + 4 > s_.size()) fail("short \\u escape");
                    unsigned code = 0;
                    for (int i = 0; i < 4; ++i) {
                        char const h = s_[pos_++];
                        unsigned d;
                        if (h >= '0' && h <= '9') d = unsigned(h - '0');
                        else if (h >= 'a' && h <= 'f') d = unsigned(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F') d = unsigned(h - 'A' + 10);
                        else fail("bad \\u escape");
                        code = code * 16 + d;
                    }
                    if (code >= 0x80) fail("non-ASCII \\u escape");
                    out += char(code);
                    break;
                }
                default: fail("bad escape");
            }
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

}  // namespace

JsonValue parseJson(std::string_view text) { return Parser(text).document(); }

std::string jsonQuote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += fmt::format("\\u{:04x}", unsigned(static_cast<unsigned char>(c)));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace x2tables
