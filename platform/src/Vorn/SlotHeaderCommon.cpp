#include "Vorn/SlotHeaderCommon.h"

#include <cstring>

#include <fmt/format.h>

namespace Vorn {

SlotHeaderCommon::SlotHeaderCommon(std::uint32_t headerCommonSize_, std::uint32_t zero, std::uint32_t valueSize_,
                                   std::uint32_t slotSize_, std::uint32_t initialSlots_, std::uint32_t configSlots_,
                                   std::uint32_t kind_, std::uint32_t fenixId_, std::string_view typeName_,
                                   std::uint32_t valueSize2_, std::uint64_t instanceId64_) {
    std::memset(static_cast<void*>(this), 0, sizeof *this);
    formatWord = kFormatWord;
    headerCommonSize = headerCommonSize_;
    fenixId = fenixId_;
    reserved0 = zero;
    valueSize = valueSize_;
    slotSize = slotSize_;
    initialSlots = initialSlots_;
    configSlots = configSlots_;
    kind = kind_;
    valueSize2 = valueSize2_;
    instanceId64 = instanceId64_;
    std::memcpy(typeName, typeName_.data(), std::min(typeName_.size(), sizeof typeName - 1));
    __atomic_store_n(&magic, kMagic, __ATOMIC_RELEASE);
}

std::string SlotHeaderCommon::typeNameString() const { return std::string(typeName, strnlen(typeName, sizeof typeName)); }

bool SlotHeaderCommon::validate(Lumo::Platform::DebugHandler* debug, std::uint32_t wantedCommonSize,
                                std::size_t fileSize, std::uint32_t wantedFenixId, std::string& message) const {
    if (fileSize < kSize) {
        message = fmt::format("bad header file size: {} wanted:{}", fileSize, kSize);
    } else if (magic != kMagic) {
        message = fmt::format("bad magic:{:x} wanted:{:x}", magic, kMagic);
    } else if (formatWord != kFormatWord) {
        message = fmt::format("bad format word:{:x} wanted:{:x}", formatWord, kFormatWord);
    } else if (headerCommonSize != wantedCommonSize || wantedCommonSize != kSize) {
        message = fmt::format("bad common header size:{} wanted:{}", headerCommonSize, wantedCommonSize);
    } else if (valueSize == 0 || valueSize % 8 != 0 || valueSize2 != valueSize || slotSize != valueSize + 16) {
        message = fmt::format("bad value size:{}/{} slot size:{}", valueSize, valueSize2, slotSize);
    } else if (wantedFenixId != 0 && fenixId != wantedFenixId) {
        message = fmt::format("mismatching fenix:{}, oldFenix:{}", wantedFenixId, fenixId);
    } else {
        return true;
    }
    LUMO_FMTRACE(debug, 5, "SlotHeaderCommon", "{}", message);
    return false;
}

std::string SlotHeaderCommon::toString() const {
    return fmt::format(
        "magic:{:x} format:{:x} commonSize:{} fenixId:{} valueSize:{} slotSize:{} initialSlots:{} configSlots:{} "
        "kind:{} typeName:{} instanceId64:{} runtimeFlags:{:x} occupiedSlots:{} freeListHead:{:x} maxSlots:{} "
        "instanceId:{} resizeGeneration:{} numSlots:{} peakOccupancy:{} scratchpad:{}",
        magic, formatWord, headerCommonSize, fenixId, valueSize, slotSize, initialSlots, configSlots, kind,
        typeNameString(), instanceId64, runtimeFlags, occupiedSlots, freeListHead, maxSlots, instanceId,
        resizeGeneration, numSlots, peakOccupancy, scratchpad);
}

}  // namespace Vorn
