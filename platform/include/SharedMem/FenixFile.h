#pragma once
// The fenix file of a shared-memory map ("fenix"): the 32-bit id of the
// current generation of the map's files. Every file of the map records the
// fenix id it was created under; a writer that wipes and re-creates the files
// draws a new id, so that a reader holding files of an older generation can
// tell. The file is replaced atomically (written aside, then renamed), so it
// is never seen half-written; its modification time tells when the
// generation began.
//
//   struct FenixRecord { u64 magic "ZORBFNIX"; u32 fenixId; u32 check (= ~fenixId); };
#include <cstdint>
#include <string>

#include "Lumo/Trace.h"
#include "Mem/RootPath.h"

namespace SharedMem {

class FenixFile {
public:
    static constexpr char const* kFileName = "fenix";
    static constexpr std::uint64_t kMagic = 0x58494e4642524f5aull;  // "ZORBFNIX"

    // `writer` selects whether write() and remove() are allowed.
    FenixFile(Lumo::Platform::DebugHandler* debug, Mem::RootPath root, bool writer);

    // Reads the file; false when it is absent or damaged.
    bool read();
    std::uint32_t fenixId() const { return fenixId_; }
    // Replaces the file with one holding `fenixId`; raises
    // Lumo::MemoryResourceException when that fails.
    void write(std::uint32_t fenixId);
    // Whether the file now holds `fenixId`.
    bool validate(std::uint32_t fenixId) const;
    // Modification time of the file read last, in seconds (0 when none).
    double mtime() const { return mtime_; }
    bool remove();

    // A fresh non-zero generation id.
    static std::uint32_t newFenixId();

private:
    Lumo::Platform::DebugHandler* debug_;
    Mem::RootPath root_;
    bool writer_;
    std::uint32_t fenixId_ = 0;
    double mtime_ = 0;
};

}  // namespace SharedMem
