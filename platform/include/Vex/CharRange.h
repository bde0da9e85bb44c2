#pragma once
// Text form of records. A record is written as
//     TypeName(attr1=value1, attr2=value2, ...)
// with optional blanks around the punctuation. Unsigned integers are decimal
// or 0x-prefixed hex; enumerations are identifiers. A CharRange is a cursor
// over the text; parsing functions consume from its front and raise
// Lumo::ParseException (malformed text) or Lumo::RangeException (a value that
// does not fit its type).
#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "Lumo/Exception.h"

namespace Vex {

class CharRange {
public:
    explicit CharRange(std::string_view text) : text_(text) {}

    std::string_view rest() const { return text_.substr(pos_); }
    bool empty() const { return pos_ >= text_.size(); }
    std::size_t position() const { return pos_; }

    void skipBlanks();
    // Consumes `token` (after blanks) or raises ParseException naming it.
    void expect(std::string_view token);
    bool tryConsume(std::string_view token);
    // An identifier: letters, digits, '_' and "::" separators.
    std::string_view identifier();
    // The record's opening: type name, '(', first attribute name and '='.
    void needPre(std::string_view typeName, std::string_view firstAttr);
    // Between attributes: ',', the attribute name and '='.
    void needSep(std::string_view attr);
    // Text of one unsigned number token (digits, or 0x and hex digits).
    std::string_view numberToken();

    [[noreturn]] void fail(std::string_view what) const;

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// Closes a record: consumes ')' on close(), raising when it is missing. If the
// parse failed before close(), the destructor still consumes a ')' when one is
// next, so that the caller's range stays in step; it never raises.
class DesAttrPost {
public:
    explicit DesAttrPost(CharRange& r) : r_(r) {}
    DesAttrPost(DesAttrPost const&) = delete;
    DesAttrPost& operator=(DesAttrPost const&) = delete;
    ~DesAttrPost();
    void close();

private:
    CharRange& r_;
    bool closed_ = false;
};

// Parses an unsigned integer of type T; a value above T's maximum raises
// Lumo::RangeException.
std::uint64_t parseUnsigned(CharRange& r, std::uint64_t max, std::string_view typeName);

template <class T>
    requires std::unsigned_integral<T>
T deserializeAttr(CharRange& r) {
    return T(parseUnsigned(r, std::numeric_limits<T>::max(), sizeof(T) == 8   ? "unsigned long"
                                                             : sizeof(T) == 4 ? "unsigned int"
                                                             : sizeof(T) == 2 ? "unsigned short"
                                                                              : "unsigned char"));
}

// Re-raises a range failure met while parsing attribute `attr`, with the
// attribute's name leading the message.
[[noreturn]] void rethrowFromDeserializeAttr(std::string_view attr, Lumo::RangeException const& e);

// Raises ParseException when text is left after a whole-string parse.
void CharRangeCheckAllDataConsumed(CharRange const& r);

// Whole-string parse through T's CharRange constructor.
template <class T>
T strepToValue(std::string_view text) {
    CharRange r(text);
    T v(r);
    CharRangeCheckAllDataConsumed(r);
    return v;
}

// Text form of a value, through its fmt formatter.
template <class T>
std::string valueToStrep(T const& v) {
    return fmt::format("{}", v);
}

}  // namespace Vex
