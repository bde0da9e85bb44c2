// Descriptor singletons made at load: every table with a source has one,
// whose records agree with the table's own layout (registry), plus a hand
// transcription of the odd ones (registers of one entry, several instances,
// read tables, shared memories, download intervals), the units rule, the
// allocator singleton, the MACsec command builders, and the agent name read
// once at load (checked in child processes with their own environment).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogicalFap/HwTableDesc.h"
#include "Trident3/MeteringConstants.h"
#include "X2/Default/All.h"
#include "X2/Support/Module.h"
#include "X2/Support/Registry.h"
#include "dmamem_lib/Manager.h"

namespace {

using namespace bcm56275_a0::Default;
using Ids = std::vector<std::vector<std::vector<std::uint32_t>>>;  // per instance, per memory

LogicalFap::HwTableDesc const* descriptorOf(std::string const& table) {
    auto e = Vex::Entity::singletonExists("bcm56275_a0::Default::" + table + "Desc");
    return dynamic_cast<LogicalFap::HwTableDesc const*>(e.ptr());
}

Asic::MemLayout const& layoutOf(LogicalFap::HwTableDesc const& d) { return d.memLayouts()[0].layouts[0]; }

Ids idsOf(LogicalFap::HwTableDesc const& d) {
    Asic::MemLayout const& l = layoutOf(d);
    Ids out(l.instances);
    for (std::uint32_t i = 0; i < l.instances; ++i)
        for (std::uint32_t m = 0; m < l.dataMemories; ++m) {
            auto s = l.physicalMemIds[i * l.dataMemories + m];
            out[i].emplace_back(s.begin(), s.end());
        }
    return out;
}

std::vector<std::uint32_t> countsOf(LogicalFap::HwTableDesc const& d) {
    auto s = layoutOf(d).perMemoryCounts;
    return {s.begin(), s.end()};
}

bool isSourceTable(X2::TableInfo const& t) { return std::string(t.source) == std::string("X2/Default/") + t.name; }

TEST(Descriptors, EveryTableWithASourceHasOneThatAgreesWithItsLayout) {
    int seen = 0;
    for (X2::TableInfo const* t : X2::allTables()) {
        SCOPED_TRACE(t->name);
        LogicalFap::HwTableDesc const* d = descriptorOf(t->name);
        if (!isSourceTable(*t)) {
            EXPECT_EQ(d, nullptr) << "a twin has no descriptor";
            continue;
        }
        ++seen;
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->name(), std::string("bcm56275_a0::Default::") + t->name + "Desc");
        ASSERT_EQ(d->memLayouts().size(), 1u);
        ASSERT_EQ(d->memLayouts()[0].layouts.size(), 1u);
        ASSERT_EQ(d->collectionNames().size(), 1u);
        bool const read = t->kind == X2::Kind::read;
        EXPECT_STREQ(d->memLayouts()[0].suffix, read ? "::Read" : "");
        EXPECT_EQ(d->memLayouts()[0].reserved, 0u);
        Asic::CollectionNames const& names = d->collectionNames()[0];
        EXPECT_STREQ(names.entry, "entry");
        if (read) {
            EXPECT_EQ(names.writeResponse, nullptr);
        } else {
            EXPECT_STREQ(names.writeResponse, "writeResponse");
        }
        ASSERT_EQ(names.data.size(), 1u);
        EXPECT_STREQ(names.data[0].collection, "entry");
        EXPECT_EQ(names.data[0].count, 1u);
        ASSERT_EQ(names.data[0].arrays.size(), t->arrays.size());
        for (std::size_t k = 0; k < t->arrays.size(); ++k)
            EXPECT_EQ(names.data[0].arrays[k], "dataByte" + std::to_string(k));
        Asic::MemLayout const& l = layoutOf(*d);
        EXPECT_EQ(l.physicalMemIds.size(), std::size_t(l.instances) * l.dataMemories);
        EXPECT_EQ(l.perMemoryCounts.size(), l.dataMemories);
        if (l.instances == 1) {
            EXPECT_EQ(l.dataMemories, t->arrays.size());
        }
        EXPECT_EQ(d->numEntries(), l.entries);
        bool const oneEntryRegister = l.isRegister && l.entries == 1;
        if (!oneEntryRegister) {
            EXPECT_EQ(l.entries, std::uint64_t(t->lastIndex) + 1);
        }
        EXPECT_EQ(d->accessInfo().entries, l.entries);
        EXPECT_STREQ(d->chipName(), "bcm56275_a0");
        EXPECT_EQ(d->chipInventory(), &bcm56275_a0::inventory);
        EXPECT_EQ(d->flag(), 0);
        ASSERT_NE(d->chunkAllocator(), nullptr);
        EXPECT_STREQ(d->typeData().module, t->source);
        EXPECT_STREQ(d->tableVexType().module, t->source);
        EXPECT_LT(d->tableVexType().index, d->typeData().index);
        EXPECT_EQ(d->isValidUnitId(511), !d->isValidUnitId(0));
        EXPECT_EQ(d->isValidUnitId(511), d->isValidUnitId(0x10000 + 511)) << "a unit id is 16 bits wide";
        auto mode = d->accessInfo().mode;
        if (read) {
            EXPECT_TRUE(mode == LogicalFap::HwAccessMode::readHitBits || mode == LogicalFap::HwAccessMode::readOnly);
        } else {
            EXPECT_TRUE(mode == LogicalFap::HwAccessMode::writeThrough || mode == LogicalFap::HwAccessMode::securedWrite);
        }
        EXPECT_FALSE(d->hasModes());
    }
    EXPECT_EQ(seen, 85);
}

// Hand transcription of the descriptors that differ from the common shape.
struct Odd {
    char const* table;
    std::uint64_t entries;
    Ids ids;
    std::vector<std::uint32_t> counts;
    bool reg, second, only511;
    LogicalFap::HwAccessMode mode;
    bool parity;
    double interval;
    char const* allocator;
};

class OddDescriptors : public testing::TestWithParam<Odd> {};

TEST_P(OddDescriptors, HoldTheirValues) {
    Odd const& o = GetParam();
    LogicalFap::HwTableDesc const* d = descriptorOf(o.table);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(layoutOf(*d).entries, o.entries);
    EXPECT_EQ(idsOf(*d), o.ids);
    EXPECT_EQ(countsOf(*d), o.counts);
    EXPECT_EQ(layoutOf(*d).isRegister, o.reg);
    EXPECT_EQ(layoutOf(*d).secondAccess, o.second);
    EXPECT_EQ(d->isValidUnitId(511), o.only511);
    EXPECT_EQ(d->accessInfo().mode, o.mode);
    EXPECT_EQ(d->needsParityCorrection(), o.parity);
    EXPECT_EQ(d->downloadInterval(), o.interval);
    EXPECT_STREQ(d->chunkAllocator()->policy(), o.allocator);
}

using M = LogicalFap::HwAccessMode;
constexpr char const* kNoOpt = "noOptimization";
INSTANTIATE_TEST_SUITE_P(
    Sample, OddDescriptors,
    testing::Values(
        Odd{"EsecAesCalcIcvReg", 1, {{{65}, {66}, {67}, {68}}}, {1, 1, 1, 1}, true, true, false, M::readOnly, false, 0, kNoOpt},
        Odd{"IsecAesCalcIcvReg", 1, {{{101}, {102}, {103}, {104}}}, {1, 1, 1, 1}, true, true, false, M::readOnly, false, 0, kNoOpt},
        Odd{"IsecMgmRuleDaEtype1StCtrl", 1, {{{127}, {128}}}, {1, 1}, true, true, false, M::writeThrough, true, 0, kNoOpt},
        Odd{"IsecRudMgmtRule", 1, {{{129}}}, {1}, true, true, false, M::writeThrough, true, 0, kNoOpt},
        Odd{"EgressTimestampTable", 72,
            {{{147}, {139}}, {{148}, {140}}, {{149}, {141}}, {{150}, {142}}, {{151}, {143}}, {{152}, {144}},
             {{153}, {145}}, {{154}, {146}}, {{155}, {}}, {{156}, {}}, {{157}, {}}, {{52}, {}}},
            {1, 1}, true, true, false, M::readOnly, false, 0, "firstFit"},
        Odd{"BscCollectorConfig", 8, {{{33}, {34}, {35}}}, {1, 16, 1}, false, false, false, M::writeThrough, true, 0, kNoOpt},
        Odd{"BscExCollector", 8, {{{33}, {34}, {35}}}, {1, 16, 1}, false, false, false, M::writeThrough, true, 0, kNoOpt},
        Odd{"EsecSaTableRead", 1024, {{{90}}}, {1}, false, true, false, M::readOnly, false, 0, kNoOpt},
        Odd{"L2HitSaOnly", 16384, {{{134}}}, {1}, false, true, false, M::readHitBits, false, 0, kNoOpt},
        Odd{"EsecFipsKeyReg", 1, {{{78}, {79}, {80}, {81}, {82}, {83}, {84}, {85}, {86}, {87}, {88}}},
            {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, true, false, false, M::securedWrite, true, 0, kNoOpt},
        Odd{"BscDgGroupAlu32Profile1", 64, {{{16}}}, {1}, false, false, true, M::writeThrough, true, 0, kNoOpt},
        Odd{"MirrorSessionTable", 4, {{{95}, {64}}}, {1, 1}, false, false, false, M::writeThrough, true, 0, kNoOpt},
        Odd{"IsecScTcam", 1024, {{{132}}}, {1}, false, false, false, M::writeThrough, true, 60.0, kNoOpt},
        Odd{"SubPortData", 1024, {{{137}}}, {1}, false, false, false, M::writeThrough, true, 60.0, kNoOpt},
        Odd{"EgrVlanTagActionProfileTable", 128, {{{59}, {58}}}, {1, 1}, false, false, true, M::writeThrough, true, 0, kNoOpt}),
    [](auto const& info) { return std::string(info.param.table); });

TEST(Descriptors, TypesUnitsAndTwins) {
    auto const* egr = descriptorOf("EgrVlanTagActionProfileTable");
    ASSERT_NE(egr, nullptr);
    EXPECT_TRUE(egr->isValidUnitId(511));
    EXPECT_FALSE(egr->isValidUnitId(0));
    EXPECT_EQ(egr->typeData(), (Vex::VexTypeBase{"X2/Default/EgrVlanTagActionProfileTable", 16}));
    EXPECT_EQ(egr->tableVexType(), (Vex::VexTypeBase{"X2/Default/EgrVlanTagActionProfileTable", 7}));
    EXPECT_EQ(egr->accessTableVexType(), (Vex::VexTypeBase{"X2/Default/EgrVlanTagActionProfileTable", 15}));
    auto const* mirror = descriptorOf("MirrorSessionTable");
    EXPECT_FALSE(mirror->isValidUnitId(511));
    EXPECT_TRUE(mirror->isValidUnitId(0));
    EXPECT_EQ(mirror->accessTableVexType(), mirror->tableVexType());
    // Descriptor indices of the module shapes: n arrays with write responses 6 + n, read tables 5 + n.
    EXPECT_EQ(descriptorOf("L2HitSaOnly")->typeData().index, 6u);
    EXPECT_EQ(descriptorOf("L2HitSaOnly")->tableVexType().index, 5u);
    EXPECT_EQ(descriptorOf("IsecSaTable")->typeData().index, 7u);
    EXPECT_EQ(descriptorOf("MirrorEncapCombinedTable")->typeData().index, 9u);
    EXPECT_EQ(descriptorOf("IsecFipsKeyReg")->typeData().index, 17u);
    EXPECT_EQ(descriptorOf("IsecFipsKeyReg")->tableVexType().index, 16u);
    EXPECT_EQ(descriptorOf("AmaMemEgrVlanTagActionProfileTable"), nullptr);
}

TEST(Descriptors, ShareOneAllocatorSingletonPerType) {
    auto const* a = descriptorOf("MirrorSessionTable");
    auto const* b = descriptorOf("IsecSaTable");
    EXPECT_EQ(a->chunkAllocator(), b->chunkAllocator());
    EXPECT_EQ(Vex::Entity::singletonExists("Asic::ChunkAllocatorNoOptimization").ptr(), a->chunkAllocator());
    EXPECT_NE(descriptorOf("EgressTimestampTable")->chunkAllocator(), a->chunkAllocator());
    // A second descriptor made by hand finds the same allocator.
    Lumo::Ptr<MirrorSessionTableDesc> extra(new MirrorSessionTableDesc("extra"));
    EXPECT_EQ(extra->chunkAllocator(), a->chunkAllocator());
    EXPECT_EQ(Vex::allocTracker<MirrorSessionTableDesc>().counts().liveElements, 2);
    extra = nullptr;
    EXPECT_EQ(Vex::allocTracker<MirrorSessionTableDesc>().counts().liveElements, 1);
}

TEST(Descriptors, AnExistingSingletonIsKept) {
    auto before = Vex::Entity::singletonExists("bcm56275_a0::Default::IsecCntrlDesc");
    ASSERT_TRUE(before);
    // What the load step does for each module: find by name before making one.
    X2::DescriptorSingleton again({"X2/Default/IsecCntrl", IsecCntrlDesc::kTypeIndex}, IsecCntrlDesc::kTypeName,
                                  [](Lumo::String const& n) -> Lumo::Ptr<Vex::Entity> { return new IsecCntrlDesc(n); });
    EXPECT_EQ(again.ptr(), before);
    EXPECT_EQ(Vex::allocTracker<IsecCntrlDesc>().counts().liveElements, 1);
}

struct Cmd {
    std::uint32_t address;
    std::vector<std::uint8_t> data;
    friend bool operator==(Cmd const&, Cmd const&) = default;
};

std::vector<Cmd> run(LogicalFap::CmdBuilder const& b, LogicalFap::IBatch& batch) {
    b(&batch);
    std::vector<Cmd> out;
    for (auto const& c : batch.commands()) {
        EXPECT_EQ(c.kind, 6u);
        EXPECT_EQ(c.code, 20u);
        EXPECT_EQ(c.word, 4u);
        EXPECT_EQ(c.flags, 0u);
        EXPECT_TRUE(c.payload);
        EXPECT_EQ(c.length, c.payload ? c.payload->data().size() : 0u);
        out.push_back({c.address, c.payload ? c.payload->data() : std::vector<std::uint8_t>{}});
    }
    return out;
}

TEST(Descriptors, MacsecCommandBuilders) {
    Lumo::Bytes const on = Trident3::Bcm56275MmuMtroEgrMeteringConfigConstants().enableShaperBytes();
    Lumo::Bytes const off = Trident3::Bcm56275MmuMtroEgrMeteringConfigConstants().disableShaperBytes();
    struct {
        char const* table;
        std::uint32_t first;
    } const cases[] = {{"EsecSaTable", 65}, {"IsecSaTable", 67}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.table);
        auto const* d = descriptorOf(c.table);
        ASSERT_TRUE(d->enterCmdBuilder());
        ASSERT_TRUE(d->exitCmdBuilder());
        std::uint32_t const a = 0x15800000 + c.first, b = a + 1;
        LogicalFap::IBatch plain;
        EXPECT_EQ(run(d->enterCmdBuilder(), plain), (std::vector<Cmd>{{a, on}, {a, on}, {b, on}, {b, on}}));
        EXPECT_EQ(plain.priority(), 0u);
        LogicalFap::IBatch prioritised;
        prioritised.prioritisedIs(true);
        run(d->enterCmdBuilder(), prioritised);
        EXPECT_EQ(prioritised.priority(), 7u);
        LogicalFap::IBatch exit;
        exit.prioritisedIs(true);
        EXPECT_EQ(run(d->exitCmdBuilder(), exit), (std::vector<Cmd>{{a, off}, {b, off}}));
        EXPECT_EQ(exit.priority(), 0u) << "the exit builder asks nothing";
    }
    EXPECT_FALSE(descriptorOf("EsecScTable")->enterCmdBuilder());
}

// The agent name is read at load: check it in fresh processes of this
// program, started with and without the variable.
int runSelf(char const* filter, char const* agent) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (agent)
            ::setenv("AGENT_PROCESS_NAME", agent, 1);
        else
            ::unsetenv("AGENT_PROCESS_NAME");
        ::setenv("X2_EXPECT_AGENT", agent ? agent : "", 1);
        std::string f = std::string("--gtest_filter=") + filter;
        char self[] = "/proc/self/exe";
        char* argv[] = {self, f.data(), nullptr};
        ::execv(self, argv);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(AgentName, ReadOnceAtLoad) {
    EXPECT_EQ(runSelf("AgentName.Child", "agent-x"), 0);
    EXPECT_EQ(runSelf("AgentName.Child", nullptr), 0);
}

TEST(AgentName, Child) {
    char const* expect = std::getenv("X2_EXPECT_AGENT");
    if (!expect) GTEST_SKIP() << "run by ReadOnceAtLoad";
    EXPECT_TRUE(dmamem_lib::Manager::agentNameGuard);
    if (*expect) {
        ASSERT_STREQ(dmamem_lib::Manager::agentName, expect);
    } else {
        EXPECT_EQ(dmamem_lib::Manager::agentName, nullptr);
    }
    // Later module steps do not read the environment again.
    ::setenv("AGENT_PROCESS_NAME", "changed", 1);
    X2::ModuleStep const step{&IsecCntrlModule, {"X2/Default/IsecCntrl", IsecCntrlDesc::kTypeIndex}, IsecCntrlDesc::kTypeName,
                              [](Lumo::String const& n) -> Lumo::Ptr<Vex::Entity> { return new IsecCntrlDesc(n); }};
    X2::ModuleLoader again({&step, 1});
    if (*expect) {
        EXPECT_STREQ(dmamem_lib::Manager::agentName, expect);
    } else {
        EXPECT_EQ(dmamem_lib::Manager::agentName, nullptr);
    }
}

}  // namespace
