#include "Lumo/Util.h"

#include <limits>

#include <sys/types.h>

#include "Lumo/Exception.h"

namespace Lumo::Util {

std::size_t fileSizeHelper(std::uint64_t numSlots, std::uint64_t slotSize, std::uint64_t headerSize) {
    constexpr std::uint64_t kMax = std::uint64_t(std::numeric_limits<off_t>::max());
    if (slotSize != 0 && numSlots > (kMax - headerSize) / slotSize)
        raise<RangeException>("file size overflow: {} slots of {} bytes after a {} byte header", numSlots,
                              slotSize, headerSize);
    if (headerSize > kMax)
        raise<RangeException>("file size overflow: header of {} bytes", headerSize);
    return std::size_t(headerSize + numSlots * slotSize);
}

}  // namespace Lumo::Util
