#include "Commands.h"
#include "DescriptorJson.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string_view>

#include <fmt/format.h>

#include "Fail.h"
#include "Json.h"
#include "Maps.h"
#include "Lumo/Exception.h"
#include "Vex/Stats.h"
#include "X2/Support/Registry.h"

#ifndef X2TABLES_VERSION
#define X2TABLES_VERSION "unknown"
#endif

namespace x2tables {
namespace {

using X2::FieldInfo;
using X2::FieldValueArg;
using X2::TableInfo;
using Bytes = std::vector<std::uint8_t>;

// ---- help --------------------------------------------------------------------

struct CommandHelp {
    char const* name;
    char const* synopsis;
    char const* text;
};

CommandHelp const kCommands[] = {
    {"list", "list [--json]", "One line per table: kind, entries, data arrays, fields.\n"},
    {"describe", "describe [TABLE] [--json]",
     "A table's index range, data arrays, check bits and every field in bit order:\n"
     "array, bit range, width, attribute id, value type and the fields it shares bits with.\n"
     "Without TABLE, every table. --json keeps attribute order and adds the offsets.\n"},
    {"encode", "encode TABLE [FIELD=VALUE ...] [--words] [--json]",
     "Builds an entry from the fields given (the others are zero) and prints its data\n"
     "arrays, one dataByteN=HEX per line, as decode and modify read them back. Without\n"
     "FIELD=VALUE arguments the fields are read from standard input: FIELD=VALUE words,\n"
     "or the JSON object decode --json prints (TABLE may then be left out). Bits the JSON\n"
     "lists under \"otherBits\" are set as well, so decode --json | encode gives back the\n"
     "arrays decode was given.\n"},
    {"decode", "decode TABLE [ARRAY ...] [--all] [--words] [--json]",
     "Prints the fields of an entry given its data arrays, leaving out zero fields unless\n"
     "--all, then any set bits no field covers (check bits, reserved bits), then whether\n"
     "the entry is valid. Without ARRAY arguments the arrays are read from standard input:\n"
     "ARRAY words, or the JSON object encode --json prints (TABLE may then be left out).\n"},
    {"modify", "modify TABLE [ARRAY ...] FIELD=VALUE ... [--words] [--json]",
     "Changes the named fields of the entry given by its data arrays and prints the new\n"
     "arrays as encode does. Without ARRAY arguments the entry is read from standard\n"
     "input, as decode reads it (or as the fields decode --json prints).\n"},
    {"map", "map list | map stat|dump|watch|check MAP [--json]",
     "Looks at the shared-memory maps under $ZORB_SHM_ROOT (default /dev/shm/zorb), read-only.\n"
     "MAP is a map's name under that root (as map list prints it) or the path of its directory.\n"
     "  map list          every map: its table and collection, members, writer\n"
     "  map stat MAP      value size, members, slots, buckets, generation, writer process and\n"
     "                    whether it runs, readers attached, changes announced\n"
     "  map dump MAP      every key and its value (hex bytes), in key order\n"
     "  map watch MAP     every change as it is announced: \"set KEY VALUE\" or \"removed KEY\",\n"
     "                    until interrupted (--count=N: after N changes; --seconds=S: after S s)\n"
     "  map check MAP     walks every bucket chain and the free list as the writer's validation\n"
     "                    does and says what is wrong\n"
     "A missing, truncated or damaged map is one line on standard error and exit status 2.\n"},
    {"stats", "stats NAME [PID] [--json]",
     "The statistics counters of the agent whose statistics name is NAME (its\n"
     "AGENT_PROCESS_NAME, default \"agent\"), or of process PID of that name, read from\n"
     "$X2_STATS_DIR (default /dev/shm/x2stats) while the agent runs: one \"COUNTER VALUE\"\n"
     "line each, in the order the agent registered them.\n"},
    {"help", "help [COMMAND]", "This text, or one command's.\n"},
};

char const kFormats[] =
    "Data arrays (ARRAY):\n"
    "  dataByteN=HEX names array N; a bare HEX is the next array in order. HEX is the\n"
    "  array's bytes in chip order, byte 0 first, two hex digits a byte, no 0x: bit i\n"
    "  of the array is bit i%8 of byte i/8. An empty array is written dataByteN= .\n"
    "  With --words an array is 32-bit words instead, separated by commas, the least\n"
    "  significant word (bits 0-31) first, each a VALUE: dataByte0=0x01000000 sets\n"
    "  bit 24. Shorter input leaves the array's remaining bytes zero.\n"
    "Values (VALUE): decimal, or 0x and hex digits most significant first, at any\n"
    "  field width. --json prints fields up to 53 bits as numbers, wider ones as\n"
    "  \"0x...\" strings; JSON input takes either for any field.\n"
    "Exit status: 0 done; 2 bad input or usage, or a map missing or damaged, with one line\n"
    "  on standard error.\n";

std::string usage() {
    std::string s = "usage: x2tables COMMAND [ARGUMENTS]   (x2tables help COMMAND for more)\n";
    for (auto const& c : kCommands) s += fmt::format("       x2tables {}\n", c.synopsis);
    s += "       x2tables --version\n";
    s += "Options: --json prints JSON; --words reads and prints data arrays as 32-bit words;\n"
         "         --all prints zero fields too; --help describes a command.\n";
    return s + kFormats;
}

std::string commandHelp(CommandHelp const& c) {
    return fmt::format("usage: x2tables {}\n\n{}\n{}", c.synopsis, c.text, kFormats);
}

// ---- errors and names ----------------------------------------------------------

// Edit distance, ignoring case (a mistyped capital is the commonest slip).
std::size_t distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t const up = row[j];
            bool const same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

// "; did you mean X?" for the closest candidate within a few edits, else "".
template <class Names>
std::string suggestion(std::string_view name, Names const& names) {
    std::string_view best;
    std::size_t bestDistance = std::max<std::size_t>(2, name.size() / 4) + 1;
    for (std::string_view n : names) {
        std::size_t const d = distance(name, n);
        if (d < bestDistance) best = n, bestDistance = d;
    }
    return best.empty() ? std::string() : fmt::format("; did you mean {}?", best);
}

TableInfo const& table(std::string_view name) {
    if (TableInfo const* t = X2::findTable(name)) return *t;
    std::vector<std::string_view> names;
    for (auto const* t : X2::allTables()) names.push_back(t->name);
    fail("unknown table \"{}\"{} (x2tables list shows them)", name, suggestion(name, names));
}

FieldInfo const& field(TableInfo const& t, std::string_view name) {
    if (FieldInfo const* f = X2::findField(t, name)) return *f;
    std::vector<std::string_view> names;
    for (auto const& f : t.fields) names.push_back(f.name);
    if (t.fields.empty()) fail("table {} has no fields (its entries are written as data arrays only)", t.name);
    fail("table {} has no field \"{}\"{} (x2tables describe {} lists them)", t.name, name, suggestion(name, names),
         t.name);
}

// ---- numbers -------------------------------------------------------------------

// A VALUE as 32-bit words, least significant first: decimal or 0x hex.
std::vector<std::uint32_t> parseNumber(std::string_view text, std::string_view what) {
    bool const hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string_view const digits = hex ? text.substr(2) : text;
    if (digits.empty()) fail("{}: \"{}\" is not a number", what, text);
    std::uint64_t const base = hex ? 16 : 10;
    std::vector<std::uint32_t> words;
    for (char c : digits) {
        std::uint64_t d;
        if (std::isdigit(static_cast<unsigned char>(c))) d = std::uint64_t(c - '0');
        else if (hex && std::isxdigit(static_cast<unsigned char>(c))) d = std::uint64_t(std::tolower(c) - 'a' + 10);
        else fail("{}: \"{}\" is not a {} number", what, text, hex ? "hex" : "decimal");
        std::uint64_t carry = d;
        for (auto& w : words) {
            std::uint64_t const v = std::uint64_t(w) * base + carry;
            w = std::uint32_t(v);
            carry = v >> 32;
        }
        if (carry) words.push_back(std::uint32_t(carry));
    }
    return words;
}

// Bits of `words` at or above `width` are an error.
void checkWidth(std::vector<std::uint32_t> const& words, unsigned width, std::string_view what, std::string_view text) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::uint32_t const w = words[i];
        std::size_t const lo = i * 32;
        bool over = lo >= width ? w != 0 : (width - lo < 32 && (w >> (width - lo)) != 0);
        if (over) fail("{}: value {} is wider than {} bits", what, text, width);
    }
}

FieldValueArg fieldValue(FieldInfo const& f, std::string_view text) {
    std::string const what = fmt::format("field {}", f.name);
    std::vector<std::uint32_t> words = parseNumber(text, what);
    checkWidth(words, f.width, what, text);
    FieldValueArg v;
    if (f.width > 64) {
        words.resize((f.width + 31) / 32);
        v.wide = Orrin::PerUnitBitmap(std::move(words));
    } else {
        v.scalar = std::uint64_t(words.size() > 0 ? words[0] : 0) | std::uint64_t(words.size() > 1 ? words[1] : 0) << 32;
    }
    return v;
}

bool isZero(FieldInfo const& f, FieldValueArg const& v) { return f.width > 64 ? v.wide.isZero() : v.scalar == 0; }

std::string valueText(FieldInfo const& f, FieldValueArg const& v) {
    if (f.width > 64) return v.wide.toHex();
    return fmt::format("{} (0x{:x})", v.scalar, v.scalar);
}

std::string valueJson(FieldInfo const& f, FieldValueArg const& v) {
    if (f.width > 64) return jsonQuote(v.wide.toHex());
    if (f.width > 53) return fmt::format("\"0x{:x}\"", v.scalar);
    return fmt::format("{}", v.scalar);
}

// ---- data arrays ----------------------------------------------------------------

std::string hexOf(Bytes const& b) {
    std::string s;
    for (auto x : b) s += fmt::format("{:02x}", x);
    return s;
}

// The array as 32-bit words, least significant first (a partial last word
// is zero-filled).
std::vector<std::uint32_t> wordsOf(Bytes const& b) {
    std::vector<std::uint32_t> w((b.size() + 3) / 4);
    for (std::size_t i = 0; i < b.size(); ++i) w[i / 4] |= std::uint32_t(b[i]) << (8 * (i % 4));
    return w;
}

std::string wordsText(Bytes const& b) {
    std::string s;
    for (auto w : wordsOf(b)) s += fmt::format("{}0x{:08x}", s.empty() ? "" : ",", w);
    return s;
}

std::string wordsJson(Bytes const& b) {
    std::string s = "[";
    for (auto w : wordsOf(b)) s += fmt::format("{}{}", s.size() > 1 ? ", " : "", w);
    return s + "]";
}

// "dataByteN" names array N; returns the array number, or nothing when the
// name is not of that form.
std::optional<unsigned> arrayNumber(std::string_view name) {
    constexpr std::string_view prefix = "dataByte";
    if (name.substr(0, prefix.size()) != prefix || name.size() == prefix.size() || name.size() > prefix.size() + 3)
        return std::nullopt;
    unsigned k = 0;
    for (char c : name.substr(prefix.size())) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        k = k * 10 + unsigned(c - '0');
    }
    return k;
}

unsigned checkedArray(TableInfo const& t, unsigned k) {
    if (k >= t.arrays.size()) fail("table {} has {} data array(s): dataByte{} does not exist", t.name, t.arrays.size(), k);
    return k;
}

void checkCapacity(TableInfo const& t, unsigned k, std::size_t n) {
    if (n > t.arrays[k]) fail("dataByte{}: {} bytes given, capacity is {}", k, n, t.arrays[k]);
}

Bytes bytesFromHex(TableInfo const& t, unsigned k, std::string_view h) {
    if (h.size() >= 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X'))
        fail("dataByte{}: \"{}\" looks like a number; a data array is bytes, byte 0 first, without 0x "
             "(--words reads 32-bit words)",
             k, h);
    if (h.size() % 2) fail("dataByte{}: odd number of hex digits in \"{}\"", k, h);
    Bytes bytes;
    for (std::size_t i = 0; i < h.size(); i += 2) {
        auto nibble = [&](char c) -> unsigned {
            if (!std::isxdigit(static_cast<unsigned char>(c))) fail("dataByte{}: \"{}\" is not hex", k, h);
            return std::isdigit(static_cast<unsigned char>(c)) ? unsigned(c - '0') : unsigned(std::tolower(c) - 'a' + 10);
        };
        bytes.push_back(std::uint8_t(nibble(h[i]) << 4 | nibble(h[i + 1])));
    }
    checkCapacity(t, k, bytes.size());
    return bytes;
}

Bytes bytesFromWords(TableInfo const& t, unsigned k, std::vector<std::uint32_t> const& words) {
    checkCapacity(t, k, words.size() * 4);
    Bytes bytes;
    for (auto w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(w >> (8 * i)));
    // Word input pads to whole words; an inline array keeps no trailing zeros.
    if (t.inlineForm)
        while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    return bytes;
}

std::uint32_t wordValue(unsigned k, std::string_view text) {
    std::string const what = fmt::format("dataByte{}", k);
    auto words = parseNumber(text, what);
    checkWidth(words, 32, what, text);
    return words.empty() ? 0 : words[0];
}

Bytes bytesFromWordsText(TableInfo const& t, unsigned k, std::string_view text) {
    std::vector<std::uint32_t> words;
    while (!text.empty()) {
        std::size_t const comma = text.find(',');
        words.push_back(wordValue(k, text.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
        if (text.empty()) fail("dataByte{}: empty word after ','", k);
    }
    return bytesFromWords(t, k, words);
}

// Which bits of each array some field covers (one mask byte per array byte).
std::vector<Bytes> fieldBits(TableInfo const& t) {
    std::vector<Bytes> masks;
    for (auto cap : t.arrays) masks.emplace_back(cap, 0);
    for (auto const& f : t.fields)
        for (unsigned b = f.offset; b < unsigned(f.offset) + f.width; ++b)
            if (b / 8 < masks[f.array].size()) masks[f.array][b / 8] |= std::uint8_t(1u << (b % 8));
    return masks;
}

// ---- entries -----------------------------------------------------------------------

// Owns one type-erased entry of a table.
struct EntryHandle {
    TableInfo const& t;
    void* p;
    explicit EntryHandle(TableInfo const& table) : t(table), p(table.ops.create()) {}
    ~EntryHandle() { t.ops.destroy(p); }
    EntryHandle(EntryHandle const&) = delete;
    EntryHandle& operator=(EntryHandle const&) = delete;

    Bytes array(unsigned k) const {
        Bytes b(t.arrays[k]);
        b.resize(t.ops.bytes(p, k, b.data()));
        return b;
    }
    void arrayIs(unsigned k, Bytes const& b) { t.ops.bytesIs(p, k, b.data(), std::uint32_t(b.size())); }

    // Sets `bits` (a byte string in array order) on top of what the array holds.
    void orBits(unsigned k, Bytes const& bits) {
        Bytes b = array(k);
        if (bits.size() > b.size()) b.resize(bits.size(), 0);
        for (std::size_t i = 0; i < bits.size(); ++i) b[i] |= bits[i];
        arrayIs(k, b);
    }

    // Set bits of array k outside every field, trailing zero bytes trimmed.
    Bytes otherBits(unsigned k, std::vector<Bytes> const& masks) const {
        Bytes b = array(k);
        for (std::size_t i = 0; i < b.size(); ++i) b[i] &= std::uint8_t(~masks[k][i]);
        while (!b.empty() && b.back() == 0) b.pop_back();
        return b;
    }
};

// "3, 139-147" for the set bits of a byte string.
std::string bitRanges(Bytes const& b) {
    std::string s;
    std::size_t const n = b.size() * 8;
    for (std::size_t i = 0; i < n;) {
        if (!(b[i / 8] >> (i % 8) & 1)) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < n && (b[(j + 1) / 8] >> ((j + 1) % 8) & 1)) ++j;
        s += fmt::format("{}{}", s.empty() ? "" : ", ", i == j ? fmt::format("{}", i) : fmt::format("{}-{}", i, j));
        i = j + 1;
    }
    return s;
}

// ---- input ---------------------------------------------------------------------

enum Accepts : unsigned { kFields = 1, kArrays = 2 };

// What a command line and standard input say about one entry.
struct Input {
    std::string tableName;
    std::vector<std::string> tokens;  // FIELD=VALUE and ARRAY words, in order
    std::optional<JsonValue> json;
};

struct Entry {
    std::vector<std::optional<Bytes>> arrays;
    std::vector<std::pair<FieldInfo const*, FieldValueArg>> fields;
    std::vector<Bytes> otherBits;
    bool hasArrays = false;
};

bool isArrayToken(std::string_view token) {
    auto const eq = token.find('=');
    return eq == std::string_view::npos || arrayNumber(token.substr(0, eq));
}

char const* acceptsText(unsigned accepts) {
    return accepts == kFields ? "fields (FIELD=VALUE)" : accepts == kArrays ? "data arrays" : "data arrays and fields";
}

void readTokens(TableInfo const& t, std::vector<std::string> const& tokens, std::string_view cmd, unsigned accepts,
                bool words, Entry& e) {
    unsigned next = 0;  // the array a bare ARRAY fills
    for (auto const& token : tokens) {
        auto const eq = token.find('=');
        std::string_view const name = std::string_view(token).substr(0, eq);
        std::string_view const text = eq == std::string::npos ? std::string_view(token)
                                                              : std::string_view(token).substr(eq + 1);
        if (isArrayToken(token)) {
            if (!(accepts & kArrays))
                fail("{} takes {}, got \"{}\"{}", cmd, acceptsText(accepts), token,
                     eq == std::string::npos ? "" : " (modify changes a given entry)");
            unsigned const k = eq == std::string::npos ? next : *arrayNumber(name);
            if (eq == std::string::npos && k >= t.arrays.size())
                fail("table {} has {} data array(s), got more", t.name, t.arrays.size());
            checkedArray(t, k);
            e.arrays[k] = words ? bytesFromWordsText(t, k, text) : bytesFromHex(t, k, text);
            e.hasArrays = true;
            next = k + 1;
        } else {
            if (!(accepts & kFields)) fail("{} takes {}, got \"{}\"", cmd, acceptsText(accepts), token);
            FieldInfo const& f = field(t, name);
            e.fields.emplace_back(&f, fieldValue(f, text));
        }
    }
}

JsonValue const& member(JsonValue const& object, std::string_view key, JsonValue::Type type, std::string_view where) {
    for (auto const& [k, v] : object.members)
        if (k == key) {
            if (v.type != type) fail("JSON input: {}\"{}\" has the wrong type", where, key);
            return v;
        }
    static JsonValue const none;
    return none;
}

std::string scalarText(JsonValue const& v, std::string_view what) {
    if (v.type != JsonValue::Type::number && v.type != JsonValue::Type::string)
        fail("JSON input: {} is neither a number nor a string", what);
    return v.text;
}

void readJson(TableInfo const& t, JsonValue const& doc, std::string_view cmd, unsigned accepts, Entry& e) {
    for (auto const& [key, value] : doc.members) {
        if (key == "table" || key == "valid") continue;
        bool const arrays = key == "arrays";
        if (!arrays && key != "fields" && key != "otherBits") fail("JSON input: unknown member \"{}\"", key);
        if (!(accepts & (arrays ? kArrays : kFields)))
            fail("{} takes {}, the JSON input has \"{}\"", cmd, acceptsText(accepts), key);
        if (value.type != JsonValue::Type::object) fail("JSON input: \"{}\" is not an object", key);
        for (auto const& [name, v] : value.members) {
            if (key == "fields") {
                FieldInfo const& f = field(t, name);
                e.fields.emplace_back(&f, fieldValue(f, scalarText(v, name)));
                continue;
            }
            auto const k = arrayNumber(name);
            if (!k) fail("JSON input: \"{}\" is not a data array name (dataByteN)", name);
            checkedArray(t, *k);
            Bytes b;
            if (v.type == JsonValue::Type::string) {
                b = bytesFromHex(t, *k, v.text);
            } else if (v.type == JsonValue::Type::array && arrays) {
                std::vector<std::uint32_t> words;
                for (auto const& w : v.items) words.push_back(wordValue(*k, scalarText(w, name)));
                b = bytesFromWords(t, *k, words);
            } else {
                fail("JSON input: {} is neither a hex string nor a list of words", name);
            }
            if (arrays) {
                e.arrays[*k] = std::move(b);
                e.hasArrays = true;
            } else {
                e.otherBits[*k] = std::move(b);
            }
        }
    }
}

// A table name, as opposed to a bare data array (hex digits, or words with
// x and commas).
bool looksLikeName(std::string_view s) {
    return s.find('=') == std::string_view::npos &&
           s.find_first_not_of("0123456789abcdefABCDEFxX,") != std::string_view::npos;
}

// Gathers an entry's description: the table (an argument, or the JSON
// input's "table"), then standard input when the arguments hold none of what
// the command mainly takes (`primary`), then the arguments.
std::pair<TableInfo const*, Entry> readEntry(std::vector<std::string> const& args, std::istream* in,
                                             std::string_view cmd, unsigned accepts, unsigned primary, bool words) {
    std::string tableName;
    std::vector<std::string> tokens;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i == 0 && looksLikeName(args[0]))
            tableName = args[0];
        else
            tokens.push_back(args[i]);
    }
    bool const argsHavePrimary = std::any_of(tokens.begin(), tokens.end(), [&](std::string const& s) {
        return primary == kArrays ? isArrayToken(s) : !isArrayToken(s);
    });
    std::vector<std::string> stdinTokens;
    std::optional<JsonValue> json;
    if (!argsHavePrimary && in) {
        std::string text((std::istreambuf_iterator<char>(*in)), std::istreambuf_iterator<char>());
        std::size_t const first = text.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && text[first] == '{') {
            try {
                json = parseJson(text);
            } catch (JsonError const& e) {
                throw UsageError{e.message};
            }
            JsonValue const& name = member(*json, "table", JsonValue::Type::string, "");
            if (name.type == JsonValue::Type::string) {
                if (!tableName.empty() && tableName != name.text)
                    fail("the JSON input is an entry of {}, not of {}", name.text, tableName);
                tableName = name.text;
            }
        } else {
            std::size_t pos = 0;
            while ((pos = text.find_first_not_of(" \t\r\n", pos)) != std::string::npos) {
                std::size_t const end = text.find_first_of(" \t\r\n", pos);
                stdinTokens.push_back(text.substr(pos, end - pos));
                pos = end;
            }
        }
    }
    if (tableName.empty()) fail("{} needs a table (x2tables help {})", cmd, cmd);
    TableInfo const& t = table(tableName);
    Entry e;
    e.arrays.resize(t.arrays.size());
    e.otherBits.resize(t.arrays.size());
    if (json) readJson(t, *json, cmd, accepts, e);
    readTokens(t, stdinTokens, cmd, accepts, words, e);
    readTokens(t, tokens, cmd, accepts, words, e);
    if (primary == kArrays && !e.hasArrays)
        fail("{} needs the entry's data arrays, as arguments or on standard input (x2tables help {})", cmd, cmd);
    return {&t, std::move(e)};
}

void build(EntryHandle& h, Entry const& e) {
    for (unsigned k = 0; k < e.arrays.size(); ++k)
        if (e.arrays[k]) h.arrayIs(k, *e.arrays[k]);
    for (auto const& [f, v] : e.fields) X2::fieldSet(h.t, *f, h.p, v);
    for (unsigned k = 0; k < e.otherBits.size(); ++k)
        if (!e.otherBits[k].empty()) h.orBits(k, e.otherBits[k]);
}

// ---- output ------------------------------------------------------------------------

void printArrays(EntryHandle const& h, bool words, bool json, std::ostream& out) {
    auto const& t = h.t;
    if (json) {
        out << fmt::format("{{\"table\": {}, \"arrays\": {{", jsonQuote(t.name));
        for (unsigned k = 0; k < t.arrays.size(); ++k) {
            Bytes const b = h.array(k);
            out << fmt::format("{}\"dataByte{}\": {}", k ? ", " : "", k,
                               words ? wordsJson(b) : jsonQuote(hexOf(b)));
        }
        out << "}}\n";
        return;
    }
    for (unsigned k = 0; k < t.arrays.size(); ++k) {
        Bytes const b = h.array(k);
        out << fmt::format("dataByte{}={}\n", k, words ? wordsText(b) : hexOf(b));
    }
}

void printFields(EntryHandle const& h, bool all, bool json, std::ostream& out) {
    auto const& t = h.t;
    auto const masks = fieldBits(t);
    if (json) {
        out << fmt::format("{{\"table\": {}, \"fields\": {{", jsonQuote(t.name));
        bool first = true;
        for (auto const& f : t.fields) {
            FieldValueArg const v = X2::fieldGet(t, f, h.p);
            if (!all && isZero(f, v)) continue;
            out << fmt::format("{}\"{}\": {}", first ? "" : ", ", f.name, valueJson(f, v));
            first = false;
        }
        out << "}, \"otherBits\": {";
        first = true;
        for (unsigned k = 0; k < t.arrays.size(); ++k) {
            Bytes const other = h.otherBits(k, masks);
            if (other.empty()) continue;
            out << fmt::format("{}\"dataByte{}\": \"{}\"", first ? "" : ", ", k, hexOf(other));
            first = false;
        }
        out << fmt::format("}}, \"valid\": {}}}\n", t.ops.isValid(h.p) ? "true" : "false");
        return;
    }
    for (auto const& f : t.fields) {
        FieldValueArg const v = X2::fieldGet(t, f, h.p);
        if (!all && isZero(f, v)) continue;
        out << fmt::format("{:<36} {}\n", f.name, valueText(f, v));
    }
    for (unsigned k = 0; k < t.arrays.size(); ++k) {
        Bytes const other = h.otherBits(k, masks);
        if (other.empty()) continue;
        bool const check = k == 0 && t.hasCheckBits && [&] {
            for (std::size_t b = 0; b < other.size() * 8; ++b)
                if ((other[b / 8] >> (b % 8) & 1) && (b < t.checkOffset || b >= t.checkOffset + t.checkWidth))
                    return false;
            return true;
        }();
        out << fmt::format("{:<36} bits {}{}\n", fmt::format("(no field) dataByte{}", k), bitRanges(other),
                           check ? " (check bits)" : t.hasCheckBits && k == 0 ? " (check bits among them)" : "");
    }
    out << fmt::format("valid: {}\n", t.ops.isValid(h.p) ? "yes" : "no");
}

// ---- list and describe ----------------------------------------------------------

std::string arraysText(TableInfo const& t) {
    std::string s;
    for (std::size_t k = 0; k < t.arrays.size(); ++k) s += fmt::format("{}{}", k ? ", " : "", t.arrays[k]);
    return s;
}

// Role of a field among the fields that share its bits.
std::string roleOf(TableInfo const& t, FieldInfo const& f) {
    std::string role;
    for (auto const& a : t.aggregates) {
        if (f.name == std::string_view(a.name)) role += fmt::format(" aggregate of {}", a.parts.size());
        for (auto const* p : a.parts)
            if (f.name == std::string_view(p)) role += fmt::format(" part of {}", a.name);
    }
    for (auto const& a : t.aliases) {
        if (f.name == std::string_view(a.first)) role += fmt::format(" alias of {}", a.second);
        if (f.name == std::string_view(a.second)) role += fmt::format(" alias of {}", a.first);
    }
    return role;
}

std::string jsonTable(TableInfo const& t, bool withFields) {
    std::string s = fmt::format(
        R"({{"name": "{}", "source": "{}", "kind": "{}", "form": "{}", "lastIndex": {}, "writeResponses": {}, "arrays": [{}], )",
        t.name, t.source, X2::kindName(t.kind), t.inlineForm ? "inline" : "allocated", t.lastIndex,
        t.hasWriteResponse ? "true" : "false", arraysText(t));
    s += t.firstFieldId < 0 ? R"("fieldIds": null, )" : fmt::format(R"("fieldIds": [{}, {}], )", t.firstFieldId, t.lastFieldId);
    s += t.hasCheckBits ? fmt::format(R"("checkBits": {{"offset": {}, "width": {}}})", t.checkOffset, t.checkWidth)
                        : std::string(R"("checkBits": null)");
    s += fmt::format(R"(, "fieldCount": {})", t.fields.size());
    if (withFields) {
        s += ", " + descriptorJsonKeys(t);
        s += R"(, "fields": [)";
        for (std::size_t i = 0; i < t.fields.size(); ++i) {
            auto const& f = t.fields[i];
            s += fmt::format(R"({}{{"name": "{}", "array": {}, "offset": {}, "width": {}, "type": "{}", "id": {}}})",
                             i ? ", " : "", f.name, f.array, f.offset, f.width, f.type, f.id);
        }
        s += R"(], "aggregates": [)";
        for (std::size_t i = 0; i < t.aggregates.size(); ++i) {
            auto const& a = t.aggregates[i];
            s += fmt::format(R"({}{{"name": "{}", "parts": [)", i ? ", " : "", a.name);
            for (std::size_t k = 0; k < a.parts.size(); ++k) s += fmt::format(R"({}"{}")", k ? ", " : "", a.parts[k]);
            s += "]}";
        }
        s += R"(], "aliases": [)";
        for (std::size_t i = 0; i < t.aliases.size(); ++i)
            s += fmt::format(R"({}["{}", "{}"])", i ? ", " : "", t.aliases[i].first, t.aliases[i].second);
        s += "]";
    }
    return s + "}";
}

void list(bool json, std::ostream& out) {
    auto tables = X2::allTables();
    if (json) {
        out << "[";
        for (std::size_t i = 0; i < tables.size(); ++i) out << (i ? ",\n " : "") << jsonTable(*tables[i], false);
        out << "]\n";
        return;
    }
    std::size_t fields = 0;
    for (auto const* t : tables) {
        fields += t->fields.size();
        out << fmt::format("{:<36} {:<6} {:>6} entries  {:>2} {:<9} array(s) [{}]  {} fields\n", t->name,
                           X2::kindName(t->kind), std::uint64_t(t->lastIndex) + 1, t->arrays.size(),
                           t->inlineForm ? "inline" : "allocated", arraysText(*t), t->fields.size());
    }
    out << fmt::format("{} tables, {} fields\n", tables.size(), fields);
}

std::string bitSpan(unsigned offset, unsigned width) {
    return width == 1 ? fmt::format("{}", offset) : fmt::format("{}-{}", offset, offset + width - 1);
}

void describe(TableInfo const& t, std::ostream& out) {
    out << fmt::format("{} ({}, module source {})\n", t.name, X2::kindName(t.kind), t.source);
    out << fmt::format("  index: 0 to {}{}\n", t.lastIndex, t.kind == X2::Kind::read ? ", and 4294967294 (read all)" : "");
    out << fmt::format("  arrays: {} {} [{}] bytes\n", t.arrays.size(), t.inlineForm ? "inline" : "allocated",
                       arraysText(t));
    out << fmt::format("  write responses: {}\n", t.hasWriteResponse ? "yes" : "no (read requests)");
    if (t.hasCheckBits)
        out << fmt::format("  check bits: {} bits at {} of dataByte0 (doClearEccFields)\n", t.checkWidth, t.checkOffset);
    else
        out << "  check bits: none\n";
    out << descriptorText(t);
    if (t.firstFieldId < 0) {
        out << "  fields: none (reached through the data byte operations only)\n";
        return;
    }
    out << fmt::format("  field ids: {} to {}\n", t.firstFieldId, t.lastFieldId);
    // Bit order: by array, then offset; a field spanning others comes first.
    std::vector<FieldInfo const*> order;
    for (auto const& f : t.fields) order.push_back(&f);
    std::stable_sort(order.begin(), order.end(), [](FieldInfo const* a, FieldInfo const* b) {
        if (a->array != b->array) return a->array < b->array;
        if (a->offset != b->offset) return a->offset < b->offset;
        return a->width > b->width;
    });
    out << fmt::format("  {:>5} {:>9} {:>5}  {:<36} {:>4}  {:<22} {}\n", "array", "bits", "width", "field", "id", "type",
                       "shares bits");
    bool checkShown = !t.hasCheckBits;
    auto showCheck = [&] {
        out << fmt::format("  {:>5} {:>9} {:>5}  (check bits)\n", 0, bitSpan(t.checkOffset, t.checkWidth), t.checkWidth);
        checkShown = true;
    };
    for (auto const* f : order) {
        if (!checkShown && (f->array > 0 || f->offset > t.checkOffset)) showCheck();
        std::string const role = roleOf(t, *f);
        out << fmt::format("  {:>5} {:>9} {:>5}  {:<36} {:>4}  {}\n", f->array, bitSpan(f->offset, f->width), f->width,
                           f->name, f->id, role.empty() ? std::string(f->type) : fmt::format("{:<22}{}", f->type, role));
    }
    if (!checkShown) showCheck();
}

CommandHelp const* findCommand(std::string_view name) {
    for (auto const& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

std::vector<std::string_view> commandNames() {
    std::vector<std::string_view> names;
    for (auto const& c : kCommands) names.push_back(c.name);
    return names;
}

}  // namespace

int run(std::vector<std::string> const& argsIn, std::istream* in, std::ostream& out, std::ostream& err) {
    try {
        std::vector<std::string> args;
        bool json = false, all = false, words = false, help = false, version = false;
        MapOptions mapOptions;
        for (auto const& a : argsIn) {
            if (a.rfind("--count=", 0) == 0 || a.rfind("--seconds=", 0) == 0) {
                std::string const v = a.substr(a.find('=') + 1);
                char* end = nullptr;
                errno = 0;
                double const x = std::strtod(v.c_str(), &end);
                if (v.empty() || *end != '\0' || errno != 0 || !(x >= 0) || x > 1e9) fail("{}: not a number of at least 0", a);
                if (a[2] == 'c') mapOptions.count = long(x);
                else mapOptions.seconds = x;
            } else if (a == "--json") json = true;
            else if (a == "--all") all = true;
            else if (a == "--words") words = true;
            else if (a == "-h" || a == "--help") help = true;
            else if (a == "--version") version = true;
            else if (a.size() > 1 && a[0] == '-' && a[1] == '-') fail("unknown option \"{}\" (x2tables help)", a);
            else args.push_back(a);
        }
        if (version) {
            out << fmt::format("x2tables {} ({} tables of bcm56275_a0)\n", X2TABLES_VERSION, X2::allTables().size());
            return 0;
        }
        if (args.empty()) {
            if (help) {
                out << usage();
                return 0;
            }
            fail("missing command (x2tables help lists them)");
        }
        std::string const cmd = args[0];
        args.erase(args.begin());
        CommandHelp const* command = findCommand(cmd);
        if (!command) fail("unknown command \"{}\"{} (x2tables help lists them)", cmd, suggestion(cmd, commandNames()));
        if (help) {
            out << commandHelp(*command);
            return 0;
        }
        if (cmd == "help") {
            if (args.size() > 1) fail("help takes at most one command");
            if (args.empty()) {
                out << usage();
                return 0;
            }
            CommandHelp const* about = findCommand(args[0]);
            if (!about)
                fail("unknown command \"{}\"{} (x2tables help lists them)", args[0], suggestion(args[0], commandNames()));
            out << commandHelp(*about);
        } else if (cmd == "map") {
            mapOptions.json = json;
            mapCommand(args, mapOptions, out);
        } else if (cmd == "stats") {
            if (args.empty() || args.size() > 2) fail("stats takes a statistics name and at most one pid");
            int pid = 0;
            if (args.size() == 2) {
                char* end = nullptr;
                long const p = std::strtol(args[1].c_str(), &end, 10);
                if (args[1].empty() || *end != '\0' || p <= 0 || p > (1l << 30)) fail("{}: not a pid", args[1]);
                pid = int(p);
            }
            auto r = Vex::Stats::Reader::open(args[0], pid);
            if (!r)
                fail("no statistics named \"{}\"{} in {}", args[0], pid ? fmt::format(" of pid {}", pid) : "",
                     Vex::Stats::statsDir());
            auto const counters = r->counters();
            if (json) {
                out << fmt::format("{{\"name\": {}, \"pid\": {}, \"counters\": {{", jsonQuote(args[0]), r->pid());
                for (std::size_t i = 0; i < counters.size(); ++i)
                    out << fmt::format("{}{}: {}", i ? ", " : "", jsonQuote(counters[i].first), counters[i].second);
                out << "}}\n";
            } else {
                for (auto const& [n, v] : counters) out << n << " " << v << "\n";
            }
        } else if (cmd == "list") {
            if (!args.empty()) fail("list takes no arguments");
            list(json, out);
        } else if (cmd == "describe") {
            if (args.size() > 1) fail("describe takes at most one table");
            if (args.empty()) {
                auto tables = X2::allTables();
                if (!json) {
                    for (auto const* t : tables) describe(*t, out);
                    return 0;
                }
                out << "[";
                for (std::size_t i = 0; i < tables.size(); ++i) out << (i ? ",\n " : "") << jsonTable(*tables[i], true);
                out << "]\n";
            } else if (json) {
                out << jsonTable(table(args[0]), true) << "\n";
            } else {
                describe(table(args[0]), out);
            }
        } else {
            unsigned const accepts = cmd == "encode" ? kFields : cmd == "decode" ? kArrays : kFields | kArrays;
            unsigned const primary = cmd == "encode" ? kFields : kArrays;
            auto [t, e] = readEntry(args, in, cmd, accepts, primary, words);
            if (cmd == "modify" && e.fields.empty()) fail("modify needs at least one FIELD=VALUE");
            EntryHandle h(*t);
            build(h, e);
            if (cmd == "decode") printFields(h, all, json, out);
            else printArrays(h, words, json, out);
        }
        return 0;
    } catch (UsageError const& e) {
        err << "x2tables: " << e.message << "\n";
        return 2;
    } catch (Lumo::Exception const& e) {
        err << "x2tables: " << e.msg() << "\n";
        return 2;
    }
}

}  // namespace x2tables
