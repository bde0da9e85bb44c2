#include "Mem/SafeCopy.h"

#include <cstring>

namespace Mem {

bool safeHeaderCopy(void* dst, void const* src, std::size_t bytes) {
    wordCopy(dst, src, bytes);
    if (bytes > kSnapshotMax) return false;
    alignas(8) unsigned char again[kSnapshotMax];
    for (int i = 0; i < kSnapshotTries; ++i) {
        wordCopy(again, src, bytes);
        if (std::memcmp(again, dst, bytes) == 0) return true;
        std::memcpy(dst, again, bytes);
    }
    return false;
}

}  // namespace Mem
