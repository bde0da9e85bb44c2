// The x2tables commands, driven in-process with string streams.
#include <gtest/gtest.h>

#include <sstream>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Commands.h"

namespace {

struct Result {
    int status;
    std::string out, err;
};

Result run(std::vector<std::string> args) {
    std::ostringstream out, err;
    int status = x2tables::run(args, out, err);
    return {status, out.str(), err.str()};
}

int count(std::string const& s, std::string const& what) {
    int n = 0;
    for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
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
}

TEST(X2Tables, EncodeThenDecodeRoundTrips) {
    auto e = run({"encode", "EgrVlanTagActionProfileTable", "dtIcfiAction0=2", "itpidAction1=0x5"});
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_NE(e.out.find("dataByte0 (15 of 20 bytes): 000000000000000000000000000020"), std::string::npos) << e.out;
    auto w = run({"encode", "IngVlanRangeTable", "eccData1=0xabcdef0123456789abcdef01"});
    ASSERT_EQ(w.status, 0) << w.err;
    std::string hex = w.out.substr(w.out.find(": ") + 2, 56);
    auto d = run({"decode", "IngVlanRangeTable", hex});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("eccData1                             0xabcdef0123456789abcdef01"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("vlanMin4"), std::string::npos);
    EXPECT_EQ(d.out.find("vlanMin0"), std::string::npos);  // zero fields are left out ...
    auto all = run({"decode", "IngVlanRangeTable", hex, "--all"});
    EXPECT_NE(all.out.find("vlanMin0"), std::string::npos);  // ... unless --all
}

TEST(X2Tables, BadInputIsOneLineAndStatusTwo) {
    std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"describe", "NoSuchTable"},
        {"encode", "MirrorControlTable", "noSuchField=1"},
        {"encode", "MirrorControlTable", "mEnable=2"},
        {"encode", "MirrorControlTable", "mEnable"},
        {"encode", "MirrorControlTable", "mEnable=0xg"},
        {"encode", "SubPortPolicyTable", "sci=18446744073709551616"},
        {"encode", "IngVlanRangeTable", "eccData0=0x1000000000000000000000000"},
        {"decode", "MirrorControlTable", "0x0g"},
        {"decode", "MirrorControlTable", "abc"},
        {"decode", "MirrorControlTable", "0011223344"},
        {"decode", "MirrorControlTable", "00", "00"},
    };
    for (auto const& c : cases) {
        auto r = run(c);
        std::string line = fmt::format("{}", fmt::join(c, " "));
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_EQ(r.err.rfind("x2tables: ", 0), 0u) << line;
        if (!c.empty()) {
            EXPECT_EQ(count(r.err, "\n"), 1) << line << ": " << r.err;
        }
    }
}

}  // namespace
