// Fuzzes the shared-memory map reader: a reader (and a shadow reader) opened
// on slot and bucket files that were written by a real writer and then
// damaged byte by byte or cut short. Whatever the bytes, a reader must
// report absence, refuse to attach or raise a runtime exception: never
// crash, never hang.
//
// Input: byte 0 picks one of four pristine maps (built once per process by a
// writer: empty, a few keys, a few hundred keys with removals, a few
// thousand keys); byte 1 holds flags (bit 0: also run a shadow; bit 1: cut
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

#include "Lumo/Exception.h"
#include "Mem/RootPath.h"
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

constexpr char const* kFiles[] = {"slots", "buckets", "fenix", "quorl", "quorl.readers", "owner"};

struct Pristine {
    std::vector<std::vector<char>> files;  // in kFiles order
    std::uint32_t keySpace;
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

Ops ops() { return Ops(0x5eed1234u, "fuzz::Rec"); }

std::vector<char> readFile(std::string const& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Pristine> const& pristine() {
    static std::vector<Pristine> const maps = [] {
        std::vector<Pristine> out;
        struct Shape {
            std::uint32_t keys, removes;
        } const shapes[] = {{0, 0}, {5, 1}, {300, 120}, {2500, 400}};
        int i = 0;
        for (auto s : shapes) {
            Mem::RootPath rp(baseDir() + "/pristine" + std::to_string(i++));
            {
                Vorn::VornWriter<Ops> w(nullptr, "fuzz", Vorn::MapDescriptor(4), ops(), rp);
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
            p.keySpace = s.keys * 7 + 8;
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

    guarded([&] {
        Vorn::VornReader<Ops> r(nullptr, "fuzz", rp, ops());
        if (!r.initialize("fuzz")) return;
        Vorn::IterHint h;
        Rec v;
        for (std::uint32_t k = 0; k < p.keySpace; k += 1 + k / 64) guarded([&] { r.lookup(k, v, h); });
        guarded([&] {
            std::uint32_t n = 0;
            for (bool ok = r.first(v, h); ok && n < 10000; ok = r.next(v.key, v, h)) ++n;
        });
        for (std::uint32_t s = 0; s < r.numSlots() + 4 && s < 5000; s += 1 + s / 64)
            guarded([&] { r.getValue(s, v, h); });
        (void)r.members();
        (void)r.dumpHeaders();
    });
    if (flags & 1) {
        guarded([&] {
            Vorn::ShadowCallbacks<Ops> cb;
            Vorn::VornShadow<Ops>* self = nullptr;
            cb.onKey = [&](std::uint32_t k) {
                Rec v;
                if (self) self->lookup(k, v);
            };
            Vorn::VornShadow<Ops> s(nullptr, "fuzz", rp, ops(), cb);
            self = &s;
            if (!s.initialize("fuzz")) return;
            for (int i = 0; i < 64 && s.service(4096); ++i) {
            }
            s.detach(true);
        });
    }
    return 0;
}
