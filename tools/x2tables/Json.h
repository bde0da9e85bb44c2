#pragma once
// The little JSON the tool reads back: objects, arrays, strings, numbers,
// true, false, null. Numbers keep their text so that 64-bit values and wider
// reach the field parser without passing through a double.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace x2tables {

struct JsonMember;

struct JsonValue {
    enum class Type { null, boolean, number, string, array, object };
    Type type = Type::null;
    bool boolean = false;
    std::string text;  // a number's digits as written, or a string's contents
    std::vector<JsonValue> items;                           // array
    std::vector<JsonMember> members;                         // object, in input order
};

struct JsonMember {
    std::string name;
    JsonValue value;
};

// A malformed document; the message says what and where (byte offset).
struct JsonError {
    std::string message;
};

// Parses exactly one JSON value (surrounding white space allowed).
JsonValue parseJson(std::string_view text);

// `s` as a JSON string literal, quotes included.
std::string jsonQuote(std::string_view s);

}  // namespace x2tables
