#pragma once
// The owner file of a shared-memory map ("owner"): who writes the map, what
// it holds, and where its change notifications come from. A small fixed
// record, mapped shared; every update runs under lock() and ends by sealing
// the record with a checksum, so that a writer killed half-way through an
// update leaves a record that validate() refuses rather than one that lies.
//
//   struct OwnerRecord {              // 256 bytes, little-endian
//       u64 magic;                    //   0 "ZORBOWNR"
//       u32 format;                   //   8 kOwnerFormat
//       u32 size;                     //  12 sizeof(OwnerRecord)
//       char typeName[128];           //  16 value type of the map
//       u32 sharedMemType;            // 144 kind of shared collection
//       u32 wiped;                    // 148 1 once a writer wiped the files
//       u32 writerPid;                // 152 pid of the last writer to attach
//       u32 shocketPid;               // 156 ShocketInfo: pid of the channel's writer
//       char shocketName[64];         // 160 ShocketInfo: name of the channel
//       u64 updates;                  // 224 count of sealed updates
//       u8 reserved[20];              // 232
//       u32 checksum;                 // 252 over bytes 0..251
//   };
#include <cstdint>
#include <string>

#include "Lumo/Trace.h"
#include "Mem/RootPath.h"

namespace SharedMem {

// Where a map's change notifications come from: the channel's name (unique
// per writer attach) and the writer's pid. An empty name means no writer.
struct ShocketInfo {
    std::uint32_t pid = 0;
    std::string name;
    bool empty() const { return name.empty(); }
    bool operator==(ShocketInfo const&) const = default;
};

class OwnerFile {
public:
    static constexpr char const* kFileName = "owner";
    static constexpr std::uint32_t kOwnerFormat = 1;
    static constexpr std::uint64_t kMagic = 0x524e574f42524f5aull;  // "ZORBOWNR"

    // Opens the owner file of `root`; with `create` a missing or empty file is
    // created and initialised. Raises Lumo::MemoryResourceException when the
    // file cannot be opened or mapped.
    OwnerFile(Lumo::Platform::DebugHandler* debug, Mem::RootPath root, bool create);
    ~OwnerFile();
    OwnerFile(OwnerFile const&) = delete;
    OwnerFile& operator=(OwnerFile const&) = delete;

    // Exclusive lock for a read-modify-write of the record (flock on the
    // file); released when the guard dies.
    class Guard {
    public:
        explicit Guard(int fd);
        ~Guard();
        Guard(Guard const&) = delete;
        Guard& operator=(Guard const&) = delete;

    private:
        int fd_;
    };
    Guard lock();

    bool exists() const { return record_ != nullptr; }
    bool validate() const;
    bool validate(std::string& message) const;
    // The file itself: present and of the record's size.
    bool validateFile() const;
    std::string headerToString() const;

    ShocketInfo shocketInfo() const;
    void shocketInfoIs(ShocketInfo const& info);
    std::string typeName() const;
    void typeNameIs(std::string const& name);
    std::uint32_t sharedMemType() const;
    void sharedMemTypeIs(std::uint32_t type);
    bool wiped() const;
    void wipedIs(bool wiped);
    std::uint32_t writerPid() const;
    void writerPidIs(std::uint32_t pid);
    // Re-initialises a damaged record (keeps nothing).
    void reformat();

    struct Record;

private:
    void seal();

    Lumo::Platform::DebugHandler* debug_;
    Mem::RootPath root_;
    int fd_ = -1;
    Record* record_ = nullptr;
};

}  // namespace SharedMem
