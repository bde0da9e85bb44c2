// Damaged index structures are reported as corruption, never followed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "../shm_support/ShmTest.h"

using namespace shmtest;

namespace {

// A second, independent mapping of one of the map's files, to damage it.
class RawFile {
public:
    explicit RawFile(std::string const& path) {
        fd_ = ::open(path.c_str(), O_RDWR);
        size_ = std::size_t(::lseek(fd_, 0, SEEK_END));
        base_ = static_cast<unsigned char*>(::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0));
    }
    ~RawFile() {
        ::munmap(base_, size_);
        ::close(fd_);
    }
    template <class T>
    T get(std::size_t off) const {
        T v;
        std::memcpy(&v, base_ + off, sizeof v);
        return v;
    }
    template <class T>
    void set(std::size_t off, T v) {
        std::memcpy(base_ + off, &v, sizeof v);
    }

private:
    int fd_;
    std::size_t size_;
    unsigned char* base_;
};

constexpr std::size_t kHeader = 688, kSlot = 80;

struct Fixture {
    TempRoot root;
    Mem::RootPath rp = root.map("c");
    Writer<Rec64> w{debug(), "c", Vorn::MapDescriptor(64), ops<Rec64>(), rp};
    Fixture() {
        w.initialize("none");
        for (std::uint32_t k = 0; k < 40; ++k) w.write(Rec64::make(k, 0), true);
    }
    // Slot and bucket of a key, and the link word offset of its bucket head.
    std::uint32_t slotOf(std::uint32_t key) {
        Vorn::IterHint h;
        bool found;
        w.lookup(key, found, h);
        return h.slot;
    }
    std::size_t headOff(std::uint32_t key) { return 24 + 8 * (w.ops().hash(key) & (w.buckets() - 1)); }
};

}  // namespace

TEST(WriterCorruption, ChainCycle) {
    Fixture f;
    std::uint32_t s = f.slotOf(7);
    RawFile slots(f.rp.filePath("slots"));
    auto word = slots.get<std::uint64_t>(kHeader + s * kSlot);
    slots.set<std::uint64_t>(kHeader + s * kSlot, (std::uint64_t(s) << 32) | std::uint32_t(word));
    // A key ordered after 7 in the same bucket walks into the cycle; find a
    // key of that bucket that is absent.
    std::uint32_t bucket = f.w.ops().hash(7) & (f.w.buckets() - 1);
    std::uint32_t probe = 1000;
    while ((f.w.ops().hash(probe) & (f.w.buckets() - 1)) != bucket ||
           Lumo::Util::reverse(f.w.ops().hash(probe)) < Lumo::Util::reverse(f.w.ops().hash(7)))
        ++probe;
    EXPECT_THROW(f.w.lookup(probe), Lumo::CorruptionDetectedException);
    EXPECT_THROW(f.w.write(Rec64::make(probe, 1), true), Lumo::CorruptionDetectedException);
    EXPECT_FALSE(f.w.validate());
}

TEST(WriterCorruption, UnoccupiedSlotInChain) {
    Fixture f;
    std::uint32_t s = f.slotOf(7);
    RawFile slots(f.rp.filePath("slots"));
    auto word = slots.get<std::uint64_t>(kHeader + s * kSlot);
    slots.set<std::uint64_t>(kHeader + s * kSlot, word & ~1ull);
    try {
        f.w.lookup(7);
        FAIL();
    } catch (Lumo::CorruptionDetectedException const& e) {
        EXPECT_NE(e.msg().find("not occupied"), std::string::npos) << e.msg();
    }
    EXPECT_FALSE(f.w.validate());
}

TEST(WriterCorruption, KeyInWrongBucket) {
    Fixture f;
    std::uint32_t s = f.slotOf(7);
    RawFile slots(f.rp.filePath("slots"));
    std::uint32_t other = 7;
    while ((f.w.ops().hash(other) & (f.w.buckets() - 1)) == (f.w.ops().hash(7) & (f.w.buckets() - 1))) ++other;
    slots.set<std::uint32_t>(kHeader + s * kSlot + 8, other);  // Rec64::key
    try {
        f.w.lookup(7);
        FAIL();
    } catch (Lumo::CorruptionDetectedException const& e) {
        EXPECT_NE(e.msg().find("another bucket"), std::string::npos) << e.msg();
    }
}

TEST(WriterCorruption, OutOfRangeIndex) {
    Fixture f;
    RawFile buckets(f.rp.filePath("buckets"));
    std::size_t off = f.headOff(7);
    auto word = buckets.get<std::uint64_t>(off);
    buckets.set<std::uint64_t>(off, (std::uint64_t(0x3ffffff0) << 32) | std::uint32_t(word));
    try {
        f.w.lookup(7);
        FAIL();
    } catch (Lumo::CorruptionDetectedException const& e) {
        EXPECT_EQ(e.msg(), fmt::format("out-of-range index: {} max:{}", 0x3ffffff0, f.w.capacity()));
    }
    EXPECT_FALSE(f.w.validate());
}

TEST(WriterCorruption, RandomBytesNeverCrashValidation) {
    // Damage random words of both files; validation must answer, never fault.
    for (int round = 0; round < 40; ++round) {
        Fixture f;
        std::mt19937 rng(round);
        {
            RawFile slots(f.rp.filePath("slots"));
            RawFile buckets(f.rp.filePath("buckets"));
            for (int i = 0; i < 1 + round % 5; ++i) {
                if (rng() % 2)
                    slots.set<std::uint32_t>(608 + 4 * (rng() % ((kHeader - 608 + 64 * kSlot) / 4)), rng());
                else
                    buckets.set<std::uint32_t>(4 * (rng() % ((24 + 8 * f.w.buckets()) / 4)), rng());
            }
        }
        bool ok = f.w.validate();
        if (!ok) {
            EXPECT_NE(f.w.message().find("validation failed"), std::string::npos);
        }
        // A fresh writer either takes the files or re-creates them.
        f.w.detach();
        Writer<Rec64> again(debug(), "c", Vorn::MapDescriptor(64), ops<Rec64>(), f.rp);
        ASSERT_NO_THROW(again.initialize("none"));
        EXPECT_TRUE(again.validate()) << again.message();
    }
}
