#pragma once
// Trident3::DefaultEgressTimestampTableHelper: where the data memories of an
// egress timestamp entry lie in its single 8-byte data array.
//
// Entries 0..55 span two registers: memory 0 is the upper half (bytes 4..7),
// memory 1 the lower half (bytes 0..3). Entries 56..71 are single registers:
// memory 0 is all 8 bytes. Any other memory id is our caller's bug (callers
// take the memory ids from the descriptor's instance list) and stops the
// process.
#include <span>
#include <type_traits>

#include "Asic/Types.h"
#include "Lumo/Assert.h"

namespace Trident3 {

struct DefaultEgressTimestampTableHelper {
    static constexpr char kSource[] = "Trident3/DefaultEgressTimestampTableHelper";
    static constexpr unsigned kEntryBytes = 8;
    static constexpr unsigned kHalfBytes = 4;
    // The last entry made of two registers; the entries above it are single registers.
    static constexpr Asic::Index kLastSplitIndex = 55;

    // ReturnType is std::span<unsigned char> over writable bytes
    // (VoidPtr unsigned char*), or std::span<const unsigned char> over
    // read-only ones (VoidPtr const unsigned char*).
    template <class ReturnType, class VoidPtr>
    static ReturnType memAccessInfo(VoidPtr data, Asic::HwTable::MemId memId, bool singleRegister) {
        static_assert(std::is_same_v<ReturnType, std::span<unsigned char>> ||
                      std::is_same_v<ReturnType, std::span<const unsigned char>>);
        constexpr char const* function =
            std::is_same_v<ReturnType, std::span<unsigned char>>
                ? "ReturnType DefaultEgressTimestampTableHelper::memAccessInfo(VoidPtr, Asic::HwTable::MemId, bool) "
                  "[with ReturnType = std::span<unsigned char>; VoidPtr = unsigned char*]"
                : "ReturnType DefaultEgressTimestampTableHelper::memAccessInfo(VoidPtr, Asic::HwTable::MemId, bool) "
                  "[with ReturnType = std::span<const unsigned char>; VoidPtr = const unsigned char*]";
        if (singleRegister) {
            if (memId != 0)
                Lumo::fmassertFail("DefaultEgressTimestampTableHelper", kSource, function, __LINE__, "memId == 0");
            return ReturnType(data, kEntryBytes);
        }
        switch (memId) {
            case 0:
                return ReturnType(data + kHalfBytes, kHalfBytes);
            case 1:
                return ReturnType(data, kHalfBytes);
        }
        Lumo::fmassertFail("DefaultEgressTimestampTableHelper", kSource, function, __LINE__, "invalid memId");
    }
};

}  // namespace Trident3
