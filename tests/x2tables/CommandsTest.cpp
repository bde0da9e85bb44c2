// The x2tables commands, driven in-process with string streams.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <sstream>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Commands.h"
#include "Json.h"
#include "X2/Support/Registry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Result {
    int status;
    std::string out, err;
};

Result run(std::vector<std::string> args, std::optional<std::string> input = std::nullopt) {
    std::ostringstream out, err;
    std::istringstream in(input.value_or(""));
    int status = x2tables::run(args, input ? &in : nullptr, out, err);
    return {status, out.str(), err.str()};
}

int count(std::string const& s, std::string const& what) {
    int n = 0;
    for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}

std::vector<std::string> words(std::string const& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
}

// ---- an independent model of the bit layout: bit i is bit i%8 of byte i/8 ----

using Number = std::vector<std::uint32_t>;  // least significant word first

Number bitsOf(Bytes const& b, unsigned offset, unsigned width) {
    Number n((width + 31) / 32);
    for (unsigned i = 0; i < width; ++i) {
        unsigned const bit = offset + i;
        if (bit / 8 < b.size() && (b[bit / 8] >> (bit % 8) & 1)) n[i / 32] |= 1u << (i % 32);
    }
    return n;
}

void bitsIs(Bytes& b, unsigned offset, unsigned width, Number const& n) {
    for (unsigned i = 0; i < width; ++i) {
        unsigned const bit = offset + i;
        if (bit / 8 >= b.size()) b.resize(bit / 8 + 1, 0);
        std::uint8_t const m = std::uint8_t(1u << (bit % 8));
        b[bit / 8] = std::uint8_t((b[bit / 8] & ~m) | ((n[i / 32] >> (i % 32) & 1) ? m : 0));
    }
}

std::string hex(Number n) {
    while (n.size() > 1 && n.back() == 0) n.pop_back();
    std::string s = fmt::format("0x{:x}", n.empty() ? 0u : n.back());
    for (std::size_t i = n.size() - 1; i-- > 0;) s += fmt::format("{:08x}", n[i]);
    return s;
}

std::string decimal(Number n) {
    std::string digits;
    auto isZero = [&] { return std::all_of(n.begin(), n.end(), [](auto w) { return w == 0; }); };
    do {
        std::uint64_t rem = 0;
        for (std::size_t i = n.size(); i-- > 0;) {
            std::uint64_t const cur = rem << 32 | n[i];
            n[i] = std::uint32_t(cur / 10);
            rem = cur % 10;
        }
        digits.insert(digits.begin(), char('0' + rem));
    } while (!isZero());
    return digits;
}

std::string hexBytes(Bytes const& b) {
    std::string s;
    for (auto x : b) s += fmt::format("{:02x}", x);
    return s;
}

std::string wordsText(Bytes const& b) {
    std::vector<std::string> w;
    for (std::size_t i = 0; i < b.size(); i += 4) {
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4 && i + j < b.size(); ++j) v |= std::uint32_t(b[i + j]) << (8 * j);
        w.push_back(fmt::format("{}", v));  // decimal, to read words as numbers
    }
    return fmt::format("{}", fmt::join(w, ","));
}

// A field's value as the JSON output gives it: a number or a "0x..." string.
Number jsonNumber(x2tables::JsonValue const& v) {
    if (v.text.rfind("0x", 0) != 0) {
        std::uint64_t const x = std::stoull(v.text);
        return {std::uint32_t(x), std::uint32_t(x >> 32)};
    }
    std::string const digits = v.text.substr(2);
    Number n;
    for (std::size_t end = digits.size(); end > 0; end = end > 8 ? end - 8 : 0) {
        std::size_t const start = end > 8 ? end - 8 : 0;
        n.push_back(std::uint32_t(std::stoul(digits.substr(start, end - start), nullptr, 16)));
    }
    return n;
}

// decode's text without the lines of bits outside the fields.
std::string withoutOtherBits(std::string const& s) {
    std::istringstream in(s);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("(no field)", 0) != 0) out += line + "\n";
    return out;
}

bool sameNumber(Number a, Number b) {
    a.resize(std::max(a.size(), b.size()));
    b.resize(a.size());
    return a == b;
}

TEST(X2Tables, ListAndDescribeCoverTheCatalogue) {
    auto r = run({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("87 tables, 1383 fields"), std::string::npos);
    auto j = run({"describe", "--json"});
    ASSERT_EQ(j.status, 0);
    EXPECT_EQ(count(j.out, "\"lastIndex\""), 87);
    EXPECT_EQ(count(j.out, "\"type\": "), 1383);
    auto one = run({"describe", "MirrorControlTable", "--json"});
    EXPECT_NE(one.out.find(R"("fieldIds": [9, 18])"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find(R"("checkBits": null)"), std::string::npos);
    auto text = run({"describe", "IngVlanRangeTable"});
    EXPECT_NE(text.out.find("part of eccData0"), std::string::npos);
    // Bit order, with ranges: an aggregate before its parts, check bits in place.
    auto reg = run({"describe", "IngMiscConfig2Reg"}).out;
    EXPECT_LT(reg.find(" 13-16     4  cmlOverrideMove "), reg.find(" 13     1  cmlOverrideMoveDrop ")) << reg;
    EXPECT_LT(reg.find("cmlOverrideMoveHwLearn"), reg.find("cmlOverrideNew "));
    auto egr = run({"describe", "EgrVlanTagActionProfileTable"}).out;
    EXPECT_NE(egr.find("139-147     9  (check bits)"), std::string::npos) << egr;
}

TEST(X2Tables, HelpVersionAndSuggestions) {
    auto h = run({"help"});
    ASSERT_EQ(h.status, 0);
    for (char const* c : {"list", "describe", "encode", "decode", "modify", "map", "help"}) {
        EXPECT_NE(h.out.find(fmt::format("x2tables {}", c)), std::string::npos) << c;
        auto one = run({"help", c}), flag = run({c, "--help"});
        EXPECT_EQ(one.status, 0);
        EXPECT_EQ(one.out, flag.out);
        EXPECT_EQ(one.out.rfind(fmt::format("usage: x2tables {}", c), 0), 0u) << one.out;
    }
    EXPECT_NE(h.out.find("Exit status"), std::string::npos);
    EXPECT_NE(run({"--version"}).out.find("87 tables"), std::string::npos);
    EXPECT_NE(run({"describe", "MirrorControlTabel"}).err.find("did you mean MirrorControlTable?"), std::string::npos);
    EXPECT_NE(run({"encode", "MirrorControlTable", "menable=1"}).err.find("did you mean mEnable?"), std::string::npos);
    EXPECT_NE(run({"decod"}).err.find("did you mean decode?"), std::string::npos);
}

// Random entries of every table, through every form the tool reads and
// writes, checked against the bit model above.
TEST(X2Tables, EveryTableRoundTrips) {
    std::mt19937_64 rng(20261206);
    for (auto const* t : X2::allTables()) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(fmt::format("{} round {}", t->name, round));
            std::vector<Bytes> arrays;
            for (unsigned k = 0; k < t->arrays.size(); ++k) {
                std::uint32_t const cap = t->arrays[k];
                // An inline array holds no trailing zeros; round 0 leaves its odd
                // arrays empty and round 1 sparse bits, so both edges are seen.
                std::uint32_t n = t->inlineForm ? (round == 0 && k % 2 ? 0 : std::uint32_t(rng() % (cap + 1))) : cap;
                Bytes b(n);
                for (auto& x : b) x = std::uint8_t(round == 1 ? (rng() % 5 == 0 ? 1u << (rng() % 8) : 0) : rng());
                if (t->inlineForm)
                    while (!b.empty() && b.back() == 0) b.pop_back();
                arrays.push_back(b);
            }
            std::vector<std::string> named{"decode", t->name}, positional{"decode", t->name},
                wordForm{"decode", t->name, "--words"};
            for (unsigned k = 0; k < arrays.size(); ++k) {
                named.push_back(fmt::format("dataByte{}={}", k, hexBytes(arrays[k])));
                wordForm.push_back(fmt::format("dataByte{}={}", k, wordsText(arrays[k])));
                positional.push_back(hexBytes(arrays[k]));
            }
            auto const text = run(named);
            ASSERT_EQ(text.status, 0) << text.err;
            if (std::none_of(arrays.begin(), arrays.end(), [](Bytes const& b) { return b.empty(); })) {
                EXPECT_EQ(run(positional).out, text.out);
            }
            EXPECT_EQ(run(wordForm).out, text.out);
            named.push_back("--json");
            named.push_back("--all");
            auto const decoded = run(named);
            ASSERT_EQ(decoded.status, 0) << decoded.err;

            // Every field and every bit outside the fields, against the model.
            auto const doc = x2tables::parseJson(decoded.out);
            auto const& fields = doc.members.at(1).value;
            auto const& other = doc.members.at(2).value;
            ASSERT_EQ(fields.members.size(), t->fields.size());
            std::vector<Bytes> covered;
            for (auto cap : t->arrays) covered.emplace_back(cap, 0);
            std::vector<std::string> assigns{"encode", t->name};
            for (std::size_t i = 0; i < t->fields.size(); ++i) {
                auto const& f = t->fields[i];
                ASSERT_EQ(fields.members[i].name, f.name);
                Number const want = bitsOf(arrays[f.array], f.offset, f.width);
                EXPECT_TRUE(sameNumber(jsonNumber(fields.members[i].value), want)) << f.name;
                bitsIs(covered[f.array], f.offset, f.width, Number((f.width + 31) / 32, ~0u));
                assigns.push_back(fmt::format("{}={}", f.name, i % 2 ? hex(want) : decimal(want)));
            }
            std::vector<Bytes> fieldsOnly = arrays;
            for (unsigned k = 0; k < arrays.size(); ++k) {
                Bytes rest = arrays[k];
                for (std::size_t i = 0; i < rest.size(); ++i) {
                    std::uint8_t const m = i < covered[k].size() ? covered[k][i] : 0;
                    rest[i] &= std::uint8_t(~m);
                    fieldsOnly[k][i] &= m;
                }
                while (!rest.empty() && rest.back() == 0) rest.pop_back();
                if (t->inlineForm)
                    while (!fieldsOnly[k].empty() && fieldsOnly[k].back() == 0) fieldsOnly[k].pop_back();
                std::string const key = fmt::format("dataByte{}", k);
                auto const it = std::find_if(other.members.begin(), other.members.end(),
                                             [&](auto const& m) { return m.name == key; });
                EXPECT_EQ(it == other.members.end() ? "" : it->value.text, hexBytes(rest)) << key;
            }

            // decode --json | encode gives back the arrays, in both forms and
            // through JSON; the fields alone give the arrays without the other bits.
            std::string wantArrays, wantWords, wantFieldsOnly;
            for (unsigned k = 0; k < arrays.size(); ++k) {
                wantArrays += fmt::format("dataByte{}={}\n", k, hexBytes(arrays[k]));
                wantFieldsOnly += fmt::format("dataByte{}={}\n", k, hexBytes(fieldsOnly[k]));
                std::string w;
                for (std::size_t i = 0; i < arrays[k].size(); i += 4) {
                    std::uint32_t v = 0;
                    for (std::size_t j = 0; j < 4 && i + j < arrays[k].size(); ++j)
                        v |= std::uint32_t(arrays[k][i + j]) << (8 * j);
                    w += fmt::format("{}0x{:08x}", w.empty() ? "" : ",", v);
                }
                wantWords += fmt::format("dataByte{}={}\n", k, w);
            }
            EXPECT_EQ(run({"encode"}, decoded.out).out, wantArrays);
            EXPECT_EQ(run({"encode", "--words"}, decoded.out).out, wantWords);
            auto const json = run({"encode", "--json"}, decoded.out);
            EXPECT_EQ(run({"decode", "--json", "--all"}, json.out).out, decoded.out);
            auto const fromFields = run(assigns);
            ASSERT_EQ(fromFields.status, 0) << fromFields.err;
            EXPECT_EQ(fromFields.out, wantFieldsOnly);
            // encode | decode: piped, and as words of a command line.
            std::vector<std::string> cmdline{"decode", t->name};
            for (auto const& w : words(fromFields.out)) cmdline.push_back(w);
            EXPECT_EQ(run(cmdline).out, run({"decode", t->name}, fromFields.out).out);
            EXPECT_EQ(withoutOtherBits(run(cmdline).out), withoutOtherBits(text.out));

            // modify one field: only its bits change.
            if (t->fields.empty()) continue;
            auto const& f = t->fields[rng() % t->fields.size()];
            Number v((f.width + 31) / 32);
            for (unsigned i = 0; i < f.width; ++i)
                if (rng() & 1) v[i / 32] |= 1u << (i % 32);
            std::vector<Bytes> want = arrays;
            if (!t->inlineForm)
                for (unsigned k = 0; k < want.size(); ++k) want[k].resize(t->arrays[k], 0);
            bitsIs(want[f.array], f.offset, f.width, v);
            while (t->inlineForm && !want[f.array].empty() && want[f.array].back() == 0) want[f.array].pop_back();
            std::string wantModified;
            for (unsigned k = 0; k < want.size(); ++k) wantModified += fmt::format("dataByte{}={}\n", k, hexBytes(want[k]));
            auto const modified = run({"modify", t->name, fmt::format("{}={}", f.name, decimal(v))}, wantArrays);
            EXPECT_EQ(modified.out, wantModified) << f.name << "=" << hex(v) << modified.err;
        }
    }
}

TEST(X2Tables, ByteAndWordFormsNameTheSameBits) {
    // 0x in a word is a number: bit 24 of the register; as bytes it is byte 3.
    auto w = run({"decode", "IngMiscConfig2Reg", "--words", "0x01000000"});
    auto b = run({"decode", "IngMiscConfig2Reg", "00000001"});
    EXPECT_NE(w.out.find("unknownTunnelIpmcDrop"), std::string::npos) << w.out;
    EXPECT_EQ(w.out, b.out);
    // A wide field takes decimal like a narrow one.
    EXPECT_EQ(run({"encode", "IngVlanRangeTable", "eccData0=12345"}).out,
              run({"encode", "IngVlanRangeTable", "eccData0=0x3039"}).out);
    // Empty arrays survive the shell: encode names every array.
    auto e = run({"encode", "EgrVlanTagActionProfileTable", "itpidAction1=7"});
    EXPECT_EQ(e.out.find("dataByte0=\n"), 0u) << e.out;
    auto d = run({"decode", "EgrVlanTagActionProfileTable", "--all"}, e.out);
    EXPECT_NE(d.out.find("itpidAction1                         7 (0x7)"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("itpidAction0                         0 (0x0)"), std::string::npos);
    // Check bits are reported, not dropped.
    auto c = run({"decode", "EgrVlanTagActionProfileTable", "--words", "0,0,0,0,0x800"});
    EXPECT_NE(c.out.find("(no field) dataByte0                 bits 139 (check bits)"), std::string::npos) << c.out;
}

TEST(X2Tables, BadInputIsOneLineAndStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> input = std::nullopt;
        char const* says = "";
    };
    std::vector<Case> cases = {
        {{}},
        {{"frobnicate"}},
        {{"--frob"}},
        {{"help", "frob"}},
        {{"list", "x"}},
        {{"describe", "NoSuchTable"}},
        {{"encode"}, std::nullopt, "needs a table"},
        {{"encode", "MirrorControlTable", "noSuchField=1"}},
        {{"encode", "MirrorControlTable", "mEnable=2"}, std::nullopt, "wider than 1 bits"},
        {{"encode", "MirrorControlTable", "mEnable="}},
        {{"encode", "MirrorControlTable", "mEnable=0xg"}},
        {{"encode", "MirrorControlTable", "mEnable=-1"}},
        {{"encode", "MirrorControlTable", "dataByte0=00"}, std::nullopt, "modify"},
        {{"encode", "BscDtPdeProfile", "x=1"}, std::nullopt, "no fields"},
        {{"encode", "SubPortPolicyTable", "sci=18446744073709551616"}},
        {{"encode", "IngVlanRangeTable", "eccData0=0x1000000000000000000000000"}},
        {{"encode", "IngVlanRangeTable", "eccData0=79228162514264337593543950336"}, std::nullopt, "wider than 96"},
        {{"decode", "MirrorControlTable"}, std::nullopt, "data arrays"},
        {{"decode", "MirrorControlTable", "0x0g"}},
        {{"decode", "IngMiscConfig2Reg", "0x01000000"}, std::nullopt, "--words"},
        {{"decode", "MirrorControlTable", "abc"}},
        {{"decode", "MirrorControlTable", "0g"}},
        {{"decode", "MirrorControlTable", "0011223344"}},
        {{"decode", "MirrorControlTable", "00", "00"}},
        {{"decode", "MirrorControlTable", "dataByte1=00"}},
        {{"decode", "MirrorControlTable", "mEnable=1"}},
        {{"decode", "MirrorControlTable", "--words", "1,2"}},
        {{"decode", "MirrorControlTable", "--words", "0x100000000"}},
        {{"decode", "MirrorControlTable", "--words", "1,"}},
        {{"modify", "MirrorControlTable", "00"}, std::nullopt, "FIELD=VALUE"},
        {{"modify", "MirrorControlTable", "mEnable=1"}},
        {{"decode"}, "{\"table\": "},
        {{"decode"}, "{\"table\": \"MirrorControlTable\", \"arrays\": {\"dataByte0\": 5}}"},
        {{"decode"}, "{\"table\": \"MirrorControlTable\", \"arrays\": {}, \"bogus\": 1}"},
        {{"decode"}, "{\"table\": \"MirrorControlTable\", \"fields\": {}}"},
        {{"decode", "IsecCntrl"}, "{\"table\": \"MirrorControlTable\", \"arrays\": {}}"},
        {{"decode"}, std::string(100000, '[')},
        {{"encode"}, "{\"table\": \"MirrorControlTable\", \"fields\": {\"mEnable\": 1.5}}"},
        {{"encode"}, "{\"table\": \"MirrorControlTable\", \"fields\": {\"mEnable\": true}}"},
        {{"encode"}, "{\"table\": \"MirrorControlTable\", \"otherBits\": {\"dataByte0\": \"0000000001\"}}"},
        {{"encode"}, "{\"table\": \"MirrorControlTable\", \"fields\": {\"mEnable\": \"\\u00e9\"}}"},
        {{"encode", "MirrorControlTable"}, "mEnable=1 dataByte0=00"},
    };
    for (auto const& c : cases) {
        auto r = run(c.args, c.input);
        std::string line = fmt::format("{} <<< {}", fmt::join(c.args, " "), c.input.value_or("").substr(0, 80));
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(r.err.rfind("x2tables: ", 0), 0u) << line;
        EXPECT_EQ(count(r.err, "\n"), 1) << line << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << ": " << r.err;
    }
}

}  // namespace
