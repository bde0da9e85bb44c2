#include "Commands.h"

#include <cctype>
#include <memory>
#include <ostream>
#include <string_view>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "X2/Support/Registry.h"

namespace x2tables {
namespace {

using X2::FieldInfo;
using X2::TableInfo;

char const kUsage[] =
    "usage: x2tables list [--json]\n"
    "       x2tables describe [TABLE] [--json]\n"
    "       x2tables encode TABLE field=value ...\n"
    "       x2tables decode TABLE HEX [HEX ...] [--all]\n";

// A caller error: reported as one line and exit status 2.
struct UsageError {
    std::string message;
};

template <class... Args>
[[noreturn]] void fail(fmt::format_string<Args...> f, Args&&... args) {
    throw UsageError{fmt::format(f, std::forward<Args>(args)...)};
}

TableInfo const& table(std::string_view name) {
    TableInfo const* t = X2::findTable(name);
    if (!t) fail("unknown table \"{}\" (x2tables list shows them)", name);
    return *t;
}

// Owns one type-erased entry of a table.
struct EntryHandle {
    TableInfo const& t;
    void* p;
    explicit EntryHandle(TableInfo const& table) : t(table), p(table.ops.create()) {}
    ~EntryHandle() { t.ops.destroy(p); }
    EntryHandle(EntryHandle const&) = delete;
    EntryHandle& operator=(EntryHandle const&) = delete;
};

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

std::string valueText(FieldInfo const& f, X2::FieldValueArg const& v) {
    if (f.width > 64) return v.wide.toHex();
    return fmt::format("{} (0x{:x})", v.scalar, v.scalar);
}

// ---- JSON ----------------------------------------------------------------

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

// ---- commands --------------------------------------------------------------

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
    if (t.firstFieldId < 0) {
        out << "  fields: none (reached through the data byte operations only)\n";
        return;
    }
    out << fmt::format("  field ids: {} to {}\n", t.firstFieldId, t.lastFieldId);
    out << fmt::format("  {:>4}  {:<36} {:>5} {:>6} {:>5}  {:<22} {}\n", "id", "field", "array", "offset", "width", "type", "shares bits");
    for (auto const& f : t.fields)
        out << fmt::format("  {:>4}  {:<36} {:>5} {:>6} {:>5}  {:<22}{}\n", f.id, f.name, f.array, f.offset,
                           f.width, f.type, roleOf(t, f));
}

std::uint64_t parseScalar(std::string_view text, FieldInfo const& f) {
    std::uint64_t v = 0;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string_view digits = hex ? text.substr(2) : text;
    if (digits.empty()) fail("field {}: empty value", f.name);
    for (char c : digits) {
        unsigned d;
        if (std::isdigit(static_cast<unsigned char>(c))) d = unsigned(c - '0');
        else if (hex && std::isxdigit(static_cast<unsigned char>(c))) d = unsigned(std::tolower(c) - 'a' + 10);
        else fail("field {}: \"{}\" is not a {} number", f.name, text, hex ? "hex" : "decimal");
        unsigned const base = hex ? 16 : 10;
        if (v > (UINT64_MAX - d) / base) fail("field {}: value {} is wider than {} bits", f.name, text, f.width);
        v = v * base + d;
    }
    if (f.width < 64 && (v >> f.width) != 0) fail("field {}: value {} is wider than {} bits", f.name, text, f.width);
    return v;
}

void printArrays(EntryHandle const& e, std::ostream& out) {
    auto const& t = e.t;
    for (unsigned k = 0; k < t.arrays.size(); ++k) {
        std::vector<std::uint8_t> buf(t.arrays[k]);
        std::uint32_t const n = t.ops.bytes(e.p, k, buf.data());
        std::string hex;
        for (std::uint32_t i = 0; i < n; ++i) hex += fmt::format("{:02x}", buf[i]);
        if (t.inlineForm)
            out << fmt::format("dataByte{} ({} of {} bytes): {}\n", k, n, t.arrays[k], hex);
        else
            out << fmt::format("dataByte{} ({} bytes): {}\n", k, n, hex);
    }
}

void encode(TableInfo const& t, std::vector<std::string> const& assigns, std::ostream& out) {
    EntryHandle e(t);
    for (auto const& a : assigns) {
        auto eq = a.find('=');
        if (eq == std::string::npos) fail("expected field=value, got \"{}\"", a);
        std::string_view name(a.data(), eq), text(a.data() + eq + 1, a.size() - eq - 1);
        FieldInfo const* f = X2::findField(t, name);
        if (!f) fail("table {} has no field \"{}\"", t.name, name);
        X2::FieldValueArg v;
        if (f->width > 64) {
            if (!Orrin::PerUnitBitmap::fromHex(text, v.wide)) fail("field {}: \"{}\" is not a hex value", f->name, text);
            for (std::size_t bit = f->width; bit < v.wide.size() * 32; ++bit)
                if (v.wide.bit(bit)) fail("field {}: value {} is wider than {} bits", f->name, text, f->width);
            v.wide.wordIs((f->width + 31) / 32 - 1, v.wide.wordOrZero((f->width + 31) / 32 - 1));
        } else {
            v.scalar = parseScalar(text, *f);
        }
        f->set(e.p, v);
    }
    printArrays(e, out);
}

void decode(TableInfo const& t, std::vector<std::string> const& hexes, bool all, std::ostream& out) {
    if (hexes.size() > t.arrays.size())
        fail("table {} has {} data array(s), got {} hex strings", t.name, t.arrays.size(), hexes.size());
    EntryHandle e(t);
    for (unsigned k = 0; k < hexes.size(); ++k) {
        std::string_view h = hexes[k];
        if (h.size() > 2 && h[0] == '0' && (h[1] == 'x' || h[1] == 'X')) h.remove_prefix(2);
        if (h.size() % 2) fail("dataByte{}: odd number of hex digits", k);
        if (h.size() / 2 > t.arrays[k])
            fail("dataByte{}: {} bytes given, capacity is {}", k, h.size() / 2, t.arrays[k]);
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < h.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(h[i])) || !std::isxdigit(static_cast<unsigned char>(h[i + 1])))
                fail("dataByte{}: \"{}\" is not hex", k, hexes[k]);
            bytes.push_back(std::uint8_t(std::stoul(std::string(h.substr(i, 2)), nullptr, 16)));
        }
        t.ops.bytesIs(e.p, k, bytes.data(), std::uint32_t(bytes.size()));
    }
    for (auto const& f : t.fields) {
        X2::FieldValueArg v = f.get(e.p);
        bool const zero = f.width > 64 ? v.wide.isZero() : v.scalar == 0;
        if (zero && !all) continue;
        out << fmt::format("{:<36} {}\n", f.name, valueText(f, v));
    }
    out << fmt::format("valid: {}\n", t.ops.isValid(e.p) ? "yes" : "no");
}

}  // namespace

int run(std::vector<std::string> const& argsIn, std::ostream& out, std::ostream& err) {
    try {
        std::vector<std::string> args;
        bool json = false, all = false;
        for (auto const& a : argsIn) {
            if (a == "--json") json = true;
            else if (a == "--all") all = true;
            else if (a == "-h" || a == "--help") {
                out << kUsage;
                return 0;
            } else args.push_back(a);
        }
        if (args.empty()) fail("missing command\n{}", kUsage);
        std::string const& cmd = args[0];
        if (cmd == "list") {
            if (args.size() != 1) fail("list takes no table");
            list(json, out);
        } else if (cmd == "describe") {
            if (args.size() > 2) fail("describe takes at most one table");
            if (args.size() == 1) {
                if (!json) {
                    for (auto const* t : X2::allTables()) describe(*t, out);
                    return 0;
                }
                auto tables = X2::allTables();
                out << "[";
                for (std::size_t i = 0; i < tables.size(); ++i) out << (i ? ",\n " : "") << jsonTable(*tables[i], true);
                out << "]\n";
            } else if (json) {
                out << jsonTable(table(args[1]), true) << "\n";
            } else {
                describe(table(args[1]), out);
            }
        } else if (cmd == "encode") {
            if (args.size() < 2) fail("encode needs a table");
            encode(table(args[1]), std::vector<std::string>(args.begin() + 2, args.end()), out);
        } else if (cmd == "decode") {
            if (args.size() < 3) fail("decode needs a table and at least one hex string");
            decode(table(args[1]), std::vector<std::string>(args.begin() + 2, args.end()), all, out);
        } else {
            fail("unknown command \"{}\"", cmd);
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
