// Fuzzes the shared-memory map reader: a reader (and a shadow reader) opened
// on slot and bucket files that were written by a real writer and then
// damaged byte by byte or cut short. Whatever the bytes, a reader must
// report absence, refuse to attach or raise a runtime exception: never
// crash, never hang.
//
// Input: byte 0 picks one of seven pristine maps (built once per process by a
// writer): four of a small test record (empty, a few keys, a few hundred
// keys with removals, a few thousand keys) and three of the entries of
// EgrVlanTagActionProfileTable (a few keys, half its indices with removals,
// all of them), whose values read from damaged bytes are then used as
// entries (hash, compare, fields, text, a field write): a damaged array size
// must not make a record read or write outside itself. Byte 1 holds flags (bit 0: also run a shadow; bit 1: cut
// the slot file; bit 2: cut the bucket file); the rest are patches of five
// bytes: file (bit 0 of the first byte), offset (three bytes, modulo the
// file's size), new byte. A cut takes its length from the last two bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Lumo/Exception.h"
#include "Mem/RootPath.h"
#include "VexVorn/Records.h"
#include "Vorn/Ops.h"
#include "Vorn/VornReader.h"
#include "Vorn/VornShadow.h"
#include "Vorn/VornWriter.h"
#include "Vex/Hash.h"

namespace {

struct Rec {
    std::uint32_t key;
    std::uint32_t gen;
    std::uint64_t payload[2];
    std::uint32_t fwkKey() const { return key; }
};
using Ops = Vorn::BasicOps<Rec>;
using Entry = VexVorn::EgrEntry;

constexpr char const* kFiles[] = {"slots", "buckets", "fenix", "quorl", "quorl.readers", "owner"};

struct Pristine {
    std::vector<std::vector<char>> files;  // in kFiles order
    std::uint32_t keySpace;
    bool entries;  // values are Entry, else Rec
};

// Kept for the whole process (never destroyed), so that the exit handler
// that removes the directory can still read its name.
std::string const& baseDir() {
    static std::string const* const dir = [] {
        auto* d = new std::string(std::string("/dev/shm/x2shmfuzz.") + std::to_string(::getpid()));
        std::filesystem::create_directories(*d);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(baseDir(), ec);
        });
        return d;
    }();
    return *dir;
}

template <class V>
Vorn::BasicOps<V> opsOf() {
    if constexpr (std::is_same_v<V, Entry>)
        return VexVorn::recordOps<Entry>();
    else
        return Ops(0x5eed1234u, "fuzz::Rec");
}

// Entry k of generation g: every byte of both arrays and the transaction id set.
Entry makeEntry(std::uint32_t k, std::uint32_t g) {
    Entry e{Entry::Index(k)};
    e.transactionIdIs(0x0123456789abcdefull * (k + 1) + g);
    std::uint8_t bytes[20];
    for (unsigned a = 0; a < 2; ++a) {
        for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = std::uint8_t(k * 31 + g * 7 + a * 5 + i);
        e.rawBytesIs(a, bytes, (k + g + a) % 21);
    }
    return e;
}

// Uses a value read from the map as what it is.
void touch(Rec const& r) { (void)r.fwkKey(); }
void touch(Entry const& e) {
    volatile std::uint32_t sink = e.hash(7);
    sink = sink + Entry::isEq(&e, &e) + e.isValid() + e.dtIcfiAction0() + e.utVtVtagAction1();
    std::uint8_t buf[256];
    sink = sink + e.rawBytes(0, buf) + e.rawBytes(1, buf);
    sink = sink + std::uint32_t(fmt::format("{}", e).size());
    Entry copy = e;
    copy.doClearEccFields();
    copy.dtIcfiAction1Is(3);
    sink = sink + (copy == e);
}

std::vector<char> readFile(std::string const& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Pristine> const& pristine() {
    static std::vector<Pristine> const maps = [] {
        std::vector<Pristine> out;
        struct Shape {
            std::uint32_t keys, removes;
            bool entries;
        } const shapes[] = {{0, 0, false},   {5, 1, false},  {300, 120, false}, {2500, 400, false},
                            {5, 1, true},    {64, 20, true}, {128, 30, true}};
        int i = 0;
        for (auto s : shapes) {
            Mem::RootPath rp(baseDir() + "/pristine" + std::to_string(i++));
            if (s.entries) {
                Vorn::VornWriter<Vorn::BasicOps<Entry>> w(nullptr, "fuzz", Vorn::MapDescriptor(4), opsOf<Entry>(), rp);
                w.initialize("fuzz");
                for (std::uint32_t k = 0; k < s.keys; ++k) w.write(makeEntry(k, 1), true);
                for (std::uint32_t k = 0; k < s.removes; ++k) {
                    Entry e;
                    w.remove(k * 13 % s.keys, e);
                }
                w.detach();
            } else {
                Vorn::VornWriter<Ops> w(nullptr, "fuzz", Vorn::MapDescriptor(4), opsOf<Rec>(), rp);
                w.initialize("fuzz");
                for (std::uint32_t k = 0; k < s.keys; ++k) w.write(Rec{k * 7, k, {k, ~std::uint64_t(k)}}, true);
                for (std::uint32_t k = 0; k < s.removes; ++k) {
                    Rec r;
                    w.remove(k * 13 % (s.keys * 7 + 1), r);
                }
                w.detach();
            }
            Pristine p;
            for (auto f : kFiles) p.files.push_back(readFile(rp.filePath(f)));
            p.keySpace = s.entries ? 130 : s.keys * 7 + 8;
            p.entries = s.entries;
            out.push_back(std::move(p));
        }
        return out;
    }();
    return maps;
}

void writeFile(std::string const& p, std::vector<char> const& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

template <class F>
void guarded(F&& f) {
    try {
        f();
    } catch (Lumo::Exception const&) {
    }
}

template <class V>
void readAll(Mem::RootPath const& rp, std::uint32_t keySpace, std::uint8_t flags) {
    using O = Vorn::BasicOps<V>;
    guarded([&] {
        Vorn::VornReader<O> r(nullptr, "fuzz", rp, opsOf<V>());
        if (!r.initialize("fuzz")) return;
        Vorn::IterHint h;
        V v;
        for (std::uint32_t k = 0; k < keySpace; k += 1 + k / 64)
            guarded([&] {
                if (r.lookup(k, v, h)) touch(v);
            });
        guarded([&] {
            std::uint32_t n = 0;
            for (bool ok = r.first(v, h); ok && n < 10000; ok = r.next(O::keyOf(v), v, h)) {
                touch(v);
                ++n;
            }
        });
        for (std::uint32_t s = 0; s < r.numSlots() + 4 && s < 5000; s += 1 + s / 64)
            guarded([&] {
                if (r.getValue(s, v, h)) touch(v);
            });
        (void)r.members();
        (void)r.dumpHeaders();
    });
    if (flags & 1) {
        guarded([&] {
            Vorn::ShadowCallbacks<O> cb;
            Vorn::VornShadow<O>* self = nullptr;
            cb.onKey = [&](std::uint32_t k) {
                V v;
                if (self && self->lookup(k, v)) touch(v);
            };
            Vorn::VornShadow<O> s(nullptr, "fuzz", rp, opsOf<V>(), cb);
            self = &s;
            if (!s.initialize("fuzz")) return;
            for (int i = 0; i < 64 && s.service(4096); ++i) {
            }
            s.detach(true);
        });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    auto const& maps = pristine();
    Pristine const& p = maps[size > 0 ? data[0] % maps.size() : 0];
    std::uint8_t flags = size > 1 ? data[1] : 0;
    std::vector<char> slots = p.files[0], buckets = p.files[1];
    for (std::size_t i = 2; i + 5 <= size; i += 5) {
        auto& f = (data[i] & 1) ? buckets : slots;
        if (f.empty()) continue;
        std::size_t off = (std::size_t(data[i + 1]) | std::size_t(data[i + 2]) << 8 | std::size_t(data[i + 3]) << 16) %
                          f.size();
        f[off] = char(data[i + 4]);
    }
    std::size_t cut = size >= 2 ? (std::size_t(data[size - 2]) << 8 | data[size - 1]) : 0;
    if ((flags & 2) && !slots.empty()) slots.resize(cut % slots.size());
    if ((flags & 4) && !buckets.empty()) buckets.resize(cut % buckets.size());

    // One directory per pristine map: the files left untouched are written once.
    std::size_t which = std::size_t(&p - maps.data());
    Mem::RootPath rp(baseDir() + "/work" + std::to_string(which));
    static std::vector<bool> prepared(maps.size(), false);
    if (!prepared[which]) {
        std::filesystem::create_directories(rp.path());
        for (std::size_t f = 2; f < std::size(kFiles); ++f) writeFile(rp.filePath(kFiles[f]), p.files[f]);
        prepared[which] = true;
    }
    writeFile(rp.filePath("slots"), slots);
    writeFile(rp.filePath("buckets"), buckets);

    if (p.entries)
        readAll<Entry>(rp, p.keySpace, flags);
    else
        readAll<Rec>(rp, p.keySpace, flags);
    return 0;
}
