// The slot file: its byte layout, the free list, growth and shrink numbers,
// the table-full error and header validation messages.
#include <cstring>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"
#include "Vorn/SlotTable.h"

using namespace shmtest;

namespace {

std::vector<unsigned char> readFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}
template <class T>
T at(std::vector<unsigned char> const& b, std::size_t off) {
    T v;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

// Free list by reading link words out of the raw file bytes.
std::vector<std::uint32_t> rawFreeList(std::vector<unsigned char> const& b, std::size_t headerSize, std::size_t slotSize) {
    std::vector<std::uint32_t> out;
    std::uint32_t cur = at<std::uint32_t>(b, 568);
    while (cur != 0xbfffffffu && out.size() < 100000) {
        out.push_back(cur);
        cur = at<std::uint32_t>(b, headerSize + cur * slotSize + 4) & ~0x40000000u;
    }
    return out;
}

}  // namespace

// (Slot and header sizes of the real records are static_asserts beside them.)
TEST(SlotTableLayout, NewFileBytesAtTheirOffsets) {
    TempRoot root;
    for (std::uint32_t n : {1u, 10u, 33u}) {
        auto rp = root.map(fmt::format("new{}", n));
        Vorn::SlotWriterTable<EntryLike>::Config c;
        c.initialSlots = n;
        Vorn::SlotWriterTable<EntryLike> t(debug(), "t", rp, c, "shmtest::EntryLike");
        ASSERT_EQ(t.attach(0xfeed), 1);
        auto b = readFile(rp.filePath("slots"));
        ASSERT_EQ(b.size(), 688u + n * 80u);
        EXPECT_EQ(at<std::uint64_t>(b, 0), Vorn::SlotHeaderCommon::kMagic);
        EXPECT_EQ(at<std::uint32_t>(b, 16), 0xfeedu);           // fenix id
        EXPECT_EQ(at<std::uint16_t>(b, 558), 0u);               // runtime flags
        EXPECT_EQ(at<std::uint32_t>(b, 564), 0u);               // occupied
        EXPECT_EQ(at<std::uint32_t>(b, 572), n);                // largest count ever
        EXPECT_LT(at<std::uint32_t>(b, 576), 0x7fffffffu);      // instance id
        EXPECT_EQ(at<std::uint32_t>(b, 584), 0u);               // resize generation
        EXPECT_EQ(at<std::uint32_t>(b, 588), n);                // slot count
        EXPECT_EQ(at<std::uint64_t>(b, 608), 0xbfffffff00000000ull);  // spare slot link word
        std::string type(reinterpret_cast<char const*>(b.data() + 56));
        EXPECT_EQ(type, "shmtest::EntryLike");
        std::vector<std::uint32_t> want(n);
        for (std::uint32_t i = 0; i < n; ++i) want[i] = i;
        EXPECT_EQ(rawFreeList(b, 688, 80), want);
        for (std::uint32_t i = 0; i < n; ++i) {
            EXPECT_EQ(at<std::uint32_t>(b, 688 + i * 80), 0u) << "sequence of slot " << i;
            EXPECT_EQ(at<std::uint64_t>(b, 688 + i * 80 + 72), 0u) << "trailer of slot " << i;
        }
    }
}

TEST(SlotTableGrowth, TenPercentInSinglePrecision) {
    using T = Vorn::SlotWriterTable<Rec64>;
    EXPECT_EQ(T::grownCount(10), 11u);
    EXPECT_EQ(T::grownCount(32), 36u);
    EXPECT_EQ(T::grownCount(100), 110u);
    EXPECT_EQ(T::grownCount(1), 2u);
    // Independent check against a float computation for many counts.
    for (std::uint32_t n = 1; n < 200000; n += 37) {
        volatile float f = float(n) * 1.1f;
        std::uint32_t want = std::uint32_t(std::ceil(float(f)));
        if (want <= n) want = n + 1;
        ASSERT_EQ(T::grownCount(n), want) << n;
    }
}

TEST(SlotTableGrowth, FullMapGrowsByOneStep) {
    TempRoot root;
    // The last one grows by more than one initialisation step.
    for (auto [initial, grown] : {std::pair{10u, 11u}, {32u, 36u}, {100u, 110u}, {100000u, 110000u}}) {
        Vorn::MapDescriptor d(initial);
        Writer<Rec64> w(debug(), "g", d, ops<Rec64>(), root.map(fmt::format("grow{}", initial)));
        w.initialize("none");
        for (std::uint32_t k = 0; k < initial; ++k) w.write(Rec64::make(k, 0), true);
        EXPECT_EQ(w.capacity(), initial);
        w.write(Rec64::make(initial, 0), true);
        EXPECT_EQ(w.capacity(), grown);
        EXPECT_EQ(w.slotTable().header().common.maxSlots, grown);
        auto b = readFile(w.rootPath().filePath("slots"));
        EXPECT_EQ(b.size(), 688u + grown * 80u);
        EXPECT_TRUE(w.validate()) << w.message();
        // Every new slot is on the free list, in order: the map fills up to
        // the new count without growing again.
        for (std::uint32_t k = initial + 1; k < grown; ++k) {
            w.write(Rec64::make(k, 0), true);
            bool found = false;
            Vorn::IterHint h;
            w.lookup(k, found, h);
            ASSERT_TRUE(found && h.slot == k) << k << " in slot " << h.slot;
        }
        EXPECT_EQ(w.capacity(), grown);
        EXPECT_TRUE(w.validate()) << w.message();
        w.cleanup();
    }
}

TEST(SlotTableGrowth, FixedSizeFullRaisesAndLeavesMapUnchanged) {
    TempRoot root;
    Vorn::MapDescriptor d(8);
    d.fixedSize = true;
    auto rp = root.map("fixed");
    Writer<Rec64> w(debug(), "fixed", d, ops<Rec64>(), rp);
    w.initialize("none");
    for (std::uint32_t k = 0; k < 8; ++k) w.write(Rec64::make(k, 0), true);
    auto seq = w.sequence();
    try {
        w.write(Rec64::make(99, 0), true);
        FAIL() << "no exception";
    } catch (Vorn::TableFullException const& e) {
        EXPECT_EQ(e.msg(), fmt::format("Vorn table full (occupancy:8 tableSize:8) {}", rp.path()));
    }
    EXPECT_EQ(w.members(), 8u);
    EXPECT_EQ(w.sequence(), seq);
    EXPECT_FALSE(w.slotTable().criticalFlag());
    EXPECT_TRUE(w.validate()) << w.message();
    // Overwrites still work and the full map can still shrink by removal.
    w.write(Rec64::make(3, 7), true);
    EXPECT_EQ(w.lookup(3)->gen, 7u);
}

TEST(SlotTableShrink, Thresholds) {
    TempRoot root;
    for (auto [n, want] : {std::pair{128u, 64u}, {129u, 128u}, {33u, 32u}, {1000u, 512u}}) {
        Vorn::MapDescriptor d(n);
        Writer<Rec64> w(debug(), "s", d, ops<Rec64>(), root.map(fmt::format("thr{}", n)));
        w.initialize("none");
        EXPECT_EQ(w.slotTable().shrinkThreshold(), want) << n;
    }
    // At the minimum slot count (32 for 80-byte slots on 4 KiB pages): none.
    Vorn::MapDescriptor d(32);
    Writer<Rec64> w(debug(), "s", d, ops<Rec64>(), root.map("thrmin"));
    w.initialize("none");
    EXPECT_EQ(w.minSize(), 32u);
    EXPECT_EQ(w.slotTable().shrinkThreshold(), 0u);
    Vorn::MapDescriptor dw(64);
    Writer<WriteResponseLike> ww(debug(), "s", dw, ops<WriteResponseLike>(), root.map("thrminwr"));
    EXPECT_EQ(ww.minSize(), 64u);
}

class SlotValidation : public ::testing::Test {
protected:
    TempRoot root;
    Mem::RootPath rp = root.map("val");
    std::uint32_t fenix = 0;

    void build(std::uint32_t n, std::uint32_t keys) {
        Vorn::MapDescriptor d(n);
        Writer<EntryLike> w(debug(), "val", d, ops<EntryLike>(), rp);
        w.initialize("none");
        for (std::uint32_t k = 0; k < keys; ++k) {
            EntryLike e{};
            e.entryIndex = k;
            e.transactionId = k * 3;
            w.write(e, true);
        }
        fenix = w.fenixId();
        w.detach();
    }
    // Header validation of the file as it now is, as a new writer would do it.
    std::string headerMessage(std::uint32_t wantFenix) {
        auto b = readFile(rp.filePath("slots"));
        Vorn::SlotTable<EntryLike>::Header h;
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        std::memcpy(&h, b.data(), std::min(b.size(), sizeof h));
        std::string m;
        return h.validate(debug(), b.size(), wantFenix, m) ? "ok" : m;
    }
    void poke(std::size_t off, void const* p, std::size_t n) {
        int fd = ::open(rp.filePath("slots").c_str(), O_RDWR);
        ASSERT_EQ(::pwrite(fd, p, n, off), ssize_t(n));
        ::close(fd);
    }
    std::string reattachMessage() {
        Vorn::MapDescriptor d(40);
        Writer<EntryLike> w(debug(), "val", d, ops<EntryLike>(), rp);
        int r = w.attach(fenix);
        if (r & 8) return fmt::format("attach {}", r);
        return w.validate(fenix, false) ? "ok" : w.message();
    }
};

TEST_F(SlotValidation, ShortFileAndSizes) {
    build(40, 5);
    EXPECT_EQ(headerMessage(fenix), "ok");
    ASSERT_EQ(::truncate(rp.filePath("slots").c_str(), 687), 0);
    EXPECT_EQ(headerMessage(fenix), "bad header file size: 687 wanted:688");
    ASSERT_EQ(::truncate(rp.filePath("slots").c_str(), 688 + 39 * 80), 0);
    EXPECT_EQ(headerMessage(fenix), fmt::format("bad shmem size:{} wanted:{} for 40 slots", 688 + 39 * 80, 688 + 40 * 80));
    std::uint32_t huge = 0x7fffffff;
    poke(588, &huge, 4);
    EXPECT_EQ(headerMessage(fenix).rfind("bad shmem size:", 0), 0u);
    ASSERT_EQ(::truncate(rp.filePath("slots").c_str(), 100), 0);
    EXPECT_EQ(headerMessage(fenix), "bad header file size: 100 wanted:608");
}

TEST_F(SlotValidation, CriticalSectionLeftSet) {
    build(40, 5);
    std::uint16_t flags = 1;
    poke(558, &flags, 2);
    EXPECT_EQ(reattachMessage(), "Vorn val validation failed: bad critical section runtimeFlags:1");
}

TEST_F(SlotValidation, FenixMismatch) {
    build(40, 5);
    std::uint32_t other = fenix ^ 0x5a5a;
    poke(16, &other, 4);
    EXPECT_EQ(reattachMessage(), fmt::format("Vorn val validation failed: mismatching fenix:{}, oldFenix:{}", fenix, other));
}

TEST_F(SlotValidation, ExistingFilesValidateAndKeepTheirValues) {
    build(40, 25);
    EXPECT_EQ(reattachMessage(), "ok");
    Vorn::MapDescriptor d(40);
    Writer<EntryLike> w(debug(), "val", d, ops<EntryLike>(), rp);
    w.initialize("none");
    EXPECT_EQ(w.fenixId(), fenix);
    EXPECT_EQ(w.members(), 25u);
    for (std::uint32_t k = 0; k < 25; ++k) ASSERT_NE(w.lookup(k), nullptr);
    EXPECT_EQ(w.lookup(7)->transactionId, 21u);
}

TEST_F(SlotValidation, WrongValueTypeIsRefused) {
    build(40, 5);
    Vorn::MapDescriptor d(40);
    Writer<WriteResponseLike> w(debug(), "val", d, ops<WriteResponseLike>(), rp);
    SharedMem::OwnerFile owner(debug(), rp, true);
    w.attach(fenix);
    EXPECT_EQ(w.slotAttachResult(), 8);
    EXPECT_NE(w.slotTable().message().find("bad value size"), std::string::npos) << w.slotTable().message();
}

TEST(SlotTableRange, SlotsIndexIsChecked) {
    TempRoot root;
    Vorn::SlotWriterTable<Rec64>::Config c;
    c.initialSlots = 4;
    Vorn::SlotWriterTable<Rec64> t(debug(), "t", root.map("r"), c, "x");
    t.attach(1);
    EXPECT_NO_THROW(t.slots()[3]);
    EXPECT_THROW(t.slots()[4], Lumo::RangeException);
}
