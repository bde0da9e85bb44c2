#include "Vex/CharRange.h"

#include <cctype>

#include "Vex/PodArray.h"

namespace Vex {

void CharRange::skipBlanks() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
}

void CharRange::fail(std::string_view what) const {
    std::string_view near = text_.substr(pos_, 24);
    Lumo::raise<Lumo::ParseException>("{} at offset {} near \"{}\"", what, pos_, near);
}

bool CharRange::tryConsume(std::string_view token) {
    skipBlanks();
    if (text_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
}

void CharRange::expect(std::string_view token) {
    if (!tryConsume(token)) fail(fmt::format("expected \"{}\"", token));
}

std::string_view CharRange::identifier() {
    skipBlanks();
    std::size_t const start = pos_;
    while (pos_ < text_.size()) {
        char c = text_[pos_];
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
            ++pos_;
        } else if (c == ':' && pos_ + 1 < text_.size() && text_[pos_ + 1] == ':') {
            pos_ += 2;
        } else {
            break;
        }
    }
    if (pos_ == start) fail("expected an identifier");
    return text_.substr(start, pos_ - start);
}

void CharRange::needPre(std::string_view typeName, std::string_view firstAttr) {
    expect(typeName);
    expect("(");
    expect(firstAttr);
    expect("=");
}

void CharRange::needSep(std::string_view attr) {
    expect(",");
    expect(attr);
    expect("=");
}

std::string_view CharRange::numberToken() {
    skipBlanks();
    std::size_t const start = pos_;
    if (text_.substr(pos_, 2) == "0x" || text_.substr(pos_, 2) == "0X") {
        pos_ += 2;
        while (pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ == start + 2) fail("expected hex digits");
    } else {
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        if (pos_ == start) fail("expected a number");
    }
    return text_.substr(start, pos_ - start);
}

std::uint64_t parseUnsigned(CharRange& r, std::uint64_t max, std::string_view typeName) {
    std::string_view tok = r.numberToken();
    bool const hex = tok.size() > 2 && tok[1] != 0 && (tok[1] == 'x' || tok[1] == 'X');
    unsigned const base = hex ? 16 : 10;
    std::uint64_t v = 0;
    bool overflow = false;
    for (char c : hex ? tok.substr(2) : tok) {
        unsigned const d = std::isdigit(static_cast<unsigned char>(c)) ? unsigned(c - '0')
                                                                         : unsigned(std::tolower(c) - 'a' + 10);
        if (v > (std::numeric_limits<std::uint64_t>::max() - d) / base) overflow = true;
        v = v * base + d;
    }
    if (overflow || v > max) Lumo::raise<Lumo::RangeException>("value {} out of range for {}", tok, typeName);
    return v;
}

void rethrowFromDeserializeAttr(std::string_view attr, Lumo::RangeException const& e) {
    Lumo::raise<Lumo::RangeException>("{}: {}", attr, e.msg());
}

void CharRangeCheckAllDataConsumed(CharRange const& r) {
    CharRange copy = r;
    copy.skipBlanks();
    if (!copy.empty()) copy.fail("unexpected trailing text");
}

DesAttrPost::~DesAttrPost() {
    if (!closed_) r_.tryConsume(")");
}

void DesAttrPost::close() {
    closed_ = true;
    r_.expect(")");
}

namespace PodArrayImpl {
void throwRangeException(std::uint32_t capacity, std::uint32_t index) {
    Lumo::raise<Lumo::RangeException>("index {} out of range for array of capacity {}", index, capacity);
}
}  // namespace PodArrayImpl

}  // namespace Vex
